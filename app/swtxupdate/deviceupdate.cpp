#include "app/swtxupdate/deviceupdate.h"

#include "controller/statustext.h"
#include "tftp/deviceaddress.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QUrl>

namespace {

const QString interruptedStatus = QStringLiteral("Interrupted");

} // namespace

DeviceUpdate::DeviceUpdate(const DeviceTarget &target, const QString &localAddress, const UpdateOptions &options,
                           QObject *parent)
    : QObject(parent)
    , m_target(target)
    , m_localAddress(localAddress)
    , m_askedBlockSize(options.transferOptions.blockSize.value_or(512))
{
    m_tftp.buildFileList(QUrl::fromLocalFile(QFileInfo(options.folder).absoluteFilePath()));
    m_files = m_tftp.updateFiles();
    m_tftp.setRemotePort(target.port);
    m_tftp.setTransferPolicy(options.policy);
    m_tftp.setTransferOptions(options.transferOptions);
    m_tftp.setVerifyAfterUpload(options.verify);
    m_tftp.setUpdateObserver(this);
    // Only the log records digests.
    m_tftp.setReportDigests(!options.logPath.isEmpty());
    connect(&m_tftp, &QTftp::fileProgressChanged, this, [this](int progress) {
        if (!m_fileRunning)
            return;
        m_file.progress = progress;
        emit fileProgressed(m_file);
    });
    connect(&m_tftp, &QTftp::localPortChanged, this, [this](unsigned short port) {
        if (m_fileRunning && m_file.localPort == 0)
            m_file.localPort = port;
    });
}

void DeviceUpdate::start()
{
    m_clock.start();
    m_lookupId = QHostInfo::lookupHost(m_target.host, this, &DeviceUpdate::onHostLookedUp);
}

void DeviceUpdate::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    if (m_updateStarted) {
        m_tftp.stopUpdate();
        return;
    }
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupAbandoned = true;
        m_lookupId = -1;
    }
    endUnstartedFile(FileReport::Stopped, interruptedStatus);
    finish();
}

QString DeviceUpdate::localEndpoint(quint16 port) const
{
    const QString address = m_tftp.localAddress().isEmpty() ? QStringLiteral("*") : m_tftp.localAddress();
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
    const int blockSize = m_acceptedOptions ? m_acceptedOptions->blockSize : m_askedBlockSize;
    return m_file.progress - 4 * ((qint64(m_file.progress) + blockSize + 3) / (blockSize + 4));
}

QString DeviceUpdate::status() const
{
    if (wasInterrupted())
        return interruptedStatus;
    return m_file.report.status;
}

void DeviceUpdate::onHostLookedUp(const QHostInfo &host)
{
    m_lookupId = -1;
    // The address each transfer would pick from the name, picked once.
    const std::optional<QHostAddress> address = Tftp::reachableAddress(host.addresses(), QHostAddress(m_localAddress));
    if (!address) {
        Tftp::TransferResult notFound{ host.addresses().isEmpty() ? Tftp::TransferResult::HostNotFound
                                                                  : Tftp::TransferResult::NoReachableAddress };
        notFound.text = m_target.host;
        endUnstartedFile(FileReport::Failed, statusText(notFound));
        finish();
        return;
    }
    m_tftp.setLocalAddress(m_localAddress);
    m_tftp.setRemoteAddress(address->toString());
    m_updateStarted = true;
    m_tftp.startUpdate();
}

void DeviceUpdate::fileStarted(int index, const UpdateFile &file)
{
    m_file = FileTransfer();
    m_file.number = index + 1;
    m_file.file = file;
    m_file.sizeOnDisk = file.marker ? 0 : QFileInfo(file.path).size();
    m_file.clock.start();
    m_fileRunning = true;
    emit fileBegan(m_file);
}

void DeviceUpdate::optionsAccepted(const Tftp::NegotiatedOptions &options)
{
    m_acceptedOptions = options;
}

void DeviceUpdate::fileEnded(const FileReport &report)
{
    m_fileRunning = false;
    // A port the same as the last file's changed nothing.
    if (m_file.localPort == 0)
        m_file.localPort = m_tftp.localPort();
    m_file.report = report;
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

void DeviceUpdate::updateEnded(bool)
{
    // A stop as a file completes ends the update before the next one begins;
    // that file counts as interrupted.
    if (m_interrupted && !m_failed)
        endUnstartedFile(FileReport::Stopped, interruptedStatus);
    finish();
}

void DeviceUpdate::endUnstartedFile(FileReport::Outcome outcome, const QString &status)
{
    if (m_filesEnded >= fileCount())
        return;
    fileStarted(m_filesEnded, m_files.at(m_filesEnded));
    FileReport report;
    report.index = m_filesEnded;
    report.name = m_file.file.name;
    report.size = m_file.sizeOnDisk;
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
