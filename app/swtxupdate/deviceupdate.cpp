#include "app/swtxupdate/deviceupdate.h"

#include "app/swtxupdate/deviceaddress.h"

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
    , m_localAddress(localAddress)
    , m_plan(firmwarePlan(m_tftp, folder))
{
    m_plan.append(doneMarker());
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
    }
    endBeforeFirstFile(interruptedStatus);
}

void DeviceUpdate::onHostLookedUp(const QHostInfo &host)
{
    m_lookupId = -1;
    const std::optional<QHostAddress> address = deviceAddressFor(host.addresses(), m_localAddress);
    if (!address) {
        const QString family = QHostAddress(m_localAddress).protocol() == QAbstractSocket::IPv6Protocol
                ? QStringLiteral("IPv6")
                : QStringLiteral("IPv4");
        endBeforeFirstFile(host.addresses().isEmpty()
                                   ? QStringLiteral("could not resolve host name %1").arg(m_target.host)
                                   : QStringLiteral("could not resolve host name %1 to an %2 address")
                                             .arg(m_target.host, family));
        return;
    }
    const bool ipv6 = address->protocol() == QAbstractSocket::IPv6Protocol;
    m_tftp.setLocalAddress(m_localAddress.isEmpty() && ipv6 ? QStringLiteral("::") : m_localAddress);
    m_tftp.setRemoteAddress(address->toString());
    m_updateStarted = true;
    m_tftp.startUpdate();
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
    return m_file.status;
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

void DeviceUpdate::endBeforeFirstFile(const QString &status)
{
    m_lookupId = -1;
    openFile(m_plan.constFirst().name);
    closeFile(status);
    m_elapsedMs = m_clock.isValid() ? m_clock.elapsed() : 0;
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
