#include "app/swtxupdate/deviceupdate.h"

#include <QHostAddress>

namespace {

const QString sendingPrefix = QStringLiteral("Sending file ");
const QString noError = QStringLiteral("No Error");
const QString interruptedStatus = QStringLiteral("Interrupted");

} // namespace

DeviceUpdate::DeviceUpdate(const DeviceTarget &target, const QString &localAddress, Tftp::TransferPolicy policy,
                           const QString &folder, QObject *parent)
    : QObject(parent)
    , m_target(target)
    , m_plan(firmwarePlan(m_tftp, folder))
{
    m_plan.append(doneMarker());
    // Any address is an IPv4 one to the controller's socket; a device named
    // by its IPv6 address needs IPv6's.
    const bool ipv6Device = QHostAddress(target.host).protocol() == QAbstractSocket::IPv6Protocol;
    m_tftp.setLocalAddress(localAddress.isEmpty() && ipv6Device ? QStringLiteral("::") : localAddress);
    m_tftp.setRemoteAddress(target.host);
    m_tftp.setRemotePort(target.port);
    m_tftp.setTransferPolicy(policy);
    connect(&m_tftp, &QTftp::errorStringChanged, this, &DeviceUpdate::onStatus);
    connect(&m_tftp, &QTftp::fileSizeChanged, this, [this](int size) { m_file.size = size; });
    connect(&m_tftp, &QTftp::fileProgressChanged, this, [this](int progress) {
        if (!m_fileOpen)
            return;
        m_file.progress = progress;
        emit fileProgressed(m_file);
    });
    connect(&m_tftp, &QTftp::updateCompleted, this, &DeviceUpdate::onCompleted);
}

void DeviceUpdate::start()
{
    m_clock.start();
    m_tftp.startUpdate();
}

void DeviceUpdate::interrupt()
{
    if (m_finished)
        return;
    m_interrupted = true;
    m_tftp.stopUpdate();
}

QString DeviceUpdate::localEndpoint() const
{
    const QString address = m_tftp.localAddress().isEmpty() ? QStringLiteral("*") : m_tftp.localAddress();
    const QString host = address.contains(u':') ? u'[' + address + u']' : address;
    return host + u':' + QString::number(m_tftp.localPort());
}

qint64 DeviceUpdate::elapsedMs() const
{
    if (m_finished || !m_clock.isValid())
        return m_elapsedMs;
    return m_clock.elapsed();
}

QString DeviceUpdate::status() const
{
    if (wasInterrupted())
        return interruptedStatus;
    return m_tftp.errorString();
}

void DeviceUpdate::onStatus(const QString &text)
{
    if (text.startsWith(sendingPrefix)) {
        openFile(text.mid(sendingPrefix.size()));
        return;
    }
    // A file that failed before its request went out never said "Sending".
    if (!m_fileOpen)
        openFile(m_plan.value(m_delivered, doneMarker()).name);
    closeFile(text);
}

void DeviceUpdate::onCompleted()
{
    // A stop between two files ends the run before the next one reports its
    // start; the file it would have sent counts as interrupted.
    if (m_fileOpen)
        closeFile(interruptedStatus);
    else if (m_interrupted && !m_failed && m_delivered < fileCount()) {
        openFile(m_plan.at(m_delivered).name);
        closeFile(interruptedStatus);
    }
    m_elapsedMs = m_clock.elapsed();
    m_finished = true;
    emit finished();
}

void DeviceUpdate::openFile(const QString &name)
{
    m_file = FileTransfer();
    m_file.index = m_delivered + 1;
    m_file.name = name;
    m_file.size = m_plan.value(m_delivered, doneMarker()).size;
    m_file.clock.start();
    m_fileOpen = true;
    emit fileStarted(m_file);
}

void DeviceUpdate::closeFile(const QString &status)
{
    m_fileOpen = false;
    m_file.status = status;
    m_file.delivered = status == noError;
    m_file.ms = m_file.clock.elapsed();
    m_bytesSent += m_file.sentBytes();
    if (m_file.delivered)
        ++m_delivered;
    else
        m_failed = true;
    emit fileFinished(m_file);
}
