#include "app/swtxupdate/deviceupdate.h"

namespace {

const QString interruptedStatus = QStringLiteral("Interrupted");

} // namespace

DeviceUpdate::DeviceUpdate(const DeviceTarget &target, const QString &localAddress, const UpdatePlan &plan,
                           const UpdateOptions &options, QObject *parent)
    : QObject(parent)
    , m_target(target)
    , m_localAddress(localAddress)
    , m_plan(plan)
{
    m_settings.policy = options.policy;
    m_settings.options = options.transferOptions;
    m_settings.verify = options.verify;
    connect(&m_engine, &UpdateEngine::fileStarted, this, &DeviceUpdate::fileStarted);
    // A retried request binds anew: the port of the last upload is the one
    // that the device answered.
    connect(&m_engine, &UpdateEngine::uploadBound, this, [this](quint16 localPort) { m_file.localPort = localPort; });
    connect(&m_engine, &UpdateEngine::progressed, this, [this](qint64 bytesSent) {
        m_file.progress = bytesSent;
        emit fileProgressed(m_file);
    });
    connect(&m_engine, &UpdateEngine::optionsAccepted, this,
            [this](const Tftp::NegotiatedOptions &accepted) { m_acceptedOptions = accepted; });
    connect(&m_engine, &UpdateEngine::fileEnded, this, &DeviceUpdate::fileEnded);
    connect(&m_engine, &UpdateEngine::finished, this, [this] {
        // A stop as a file completes ends the update before the next one
        // begins; that file counts as interrupted.
        if (m_interrupted && !m_failed)
            endUnstartedFile(FileReport::Stopped, interruptedStatus);
        finish();
    });
}

void DeviceUpdate::start(const DeviceLookup::Result &lookup)
{
    m_clock.start();
    if (!lookup.failure.isEmpty()) {
        endUnstartedFile(FileReport::Failed, lookup.failure);
        finish();
        return;
    }
    m_settings.device = { m_localAddress, lookup.address.toString(), m_target.port };
    m_engine.start(m_plan, m_settings);
}

void DeviceUpdate::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    if (m_engine.isRunning()) {
        m_engine.stop();
        return;
    }
    endUnstartedFile(FileReport::Stopped, interruptedStatus);
    finish();
}

QString DeviceUpdate::localEndpoint(quint16 port) const
{
    const QString address = m_localAddress.isEmpty() ? QStringLiteral("*") : m_localAddress;
    const QString host = address.contains(u':') ? u'[' + address + u']' : address;
    return host + u':' + QString::number(port);
}

qint64 DeviceUpdate::elapsedMs() const
{
    if (m_finished || !m_clock.isValid())
        return m_elapsedMs;
    return m_clock.elapsed();
}

qint64 DeviceUpdate::currentPayloadSent() const
{
    // Every DATA packet carries a 4-byte header and, but for the last, a
    // full block.
    const int blockSize = m_acceptedOptions ? m_acceptedOptions->blockSize
                                            : m_settings.options.blockSize.value_or(Tftp::NegotiatedOptions().blockSize);
    return m_file.progress - 4 * ((m_file.progress + blockSize + 3) / (blockSize + 4));
}

QString DeviceUpdate::status() const
{
    if (wasInterrupted())
        return interruptedStatus;
    return m_file.status;
}

void DeviceUpdate::fileStarted(int index)
{
    m_file = FileTransfer();
    m_file.number = index + 1;
    m_file.file = m_plan.files().at(index);
    m_file.clock.start();
    m_fileRunning = true;
    emit fileBegan(m_file);
}

void DeviceUpdate::fileEnded(const FileReport &report)
{
    m_fileRunning = false;
    m_file.report = report;
    m_file.status = report.status;
    if (report.outcome == FileReport::Bypassed && report.deviceError) {
        m_file.status = QStringLiteral("bypassed: the device answered %1 %2")
                                .arg(QString::number(report.deviceError->code), report.deviceError->text);
        m_bypasses.append(report.name + u' ' + m_file.status);
    }
    m_file.ms = m_file.clock.elapsed();
    m_bytesSent += report.bytesSent;
    ++m_filesEnded;
    if (report.delivered()) {
        ++m_delivered;
        m_acceptedOptions = report.options;
    } else {
        m_failed = true;
    }
    emit fileFinished(m_file);
}

void DeviceUpdate::endUnstartedFile(FileReport::Outcome outcome, const QString &status)
{
    if (m_filesEnded >= fileCount())
        return;
    fileStarted(m_filesEnded);
    FileReport report;
    report.index = m_filesEnded;
    report.name = m_file.file.name;
    report.size = m_file.file.size;
    report.outcome = outcome;
    report.status = status;
    fileEnded(report);
}

void DeviceUpdate::finish()
{
    m_elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    m_finished = true;
    emit finished();
}
