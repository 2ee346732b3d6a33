#include "controller/qtftp.h"

#include <QThread>

QTftp::QTftp(QObject *parent)
    : QObject(parent)
    , m_errorString(QStringLiteral("Open a folder to begin"))
{
    loadNetworkInterfaces();
    connect(&futureWatcher, &QFutureWatcher<bool>::finished, this, &QTftp::futureFinishHandler);
}

QTftp::~QTftp()
{
    // A transfer still running uses this object: stop it and wait, so that it
    // never outlives the controller. It notices within a fraction of a second.
    // The watcher covers a queued task that has not started yet; the count
    // covers transfers that callers started on threads of their own.
    m_destroying = true;
    m_stopRequested = true;
    futureWatcher.waitForFinished();
    while (m_runningTransfers > 0)
        QThread::msleep(1);
}

void QTftp::setRemoteAddress(QString remoteAddress)
{
    if (m_remoteAddress == remoteAddress)
        return;
    {
        const std::lock_guard lock(m_sharedWithTransfers);
        m_remoteAddress = remoteAddress;
    }
    emit remoteAddressChanged(m_remoteAddress);
}

void QTftp::setRemotePort(unsigned short remotePort)
{
    if (m_remotePort == remotePort)
        return;
    {
        const std::lock_guard lock(m_sharedWithTransfers);
        m_remotePort = remotePort;
    }
    emit remotePortChanged(m_remotePort);
}

void QTftp::setLocalAddress(QString localAddress)
{
    if (m_localAddress == localAddress)
        return;
    {
        const std::lock_guard lock(m_sharedWithTransfers);
        m_localAddress = localAddress;
    }
    emit localAddressChanged(m_localAddress);
}

void QTftp::setLocalPort(unsigned short localPort)
{
    if (m_localPort == localPort)
        return;
    m_localPort = localPort;
    emit localPortChanged(m_localPort);
}

void QTftp::setIfsList(QList<QString> ifsList)
{
    if (m_ifsList == ifsList)
        return;
    m_ifsList = ifsList;
    emit ifsListChanged(m_ifsList);
}

void QTftp::setTransferPolicy(Tftp::TransferPolicy policy)
{
    const std::lock_guard lock(m_sharedWithTransfers);
    m_transferPolicy = policy;
}

void QTftp::setTransferOptions(Tftp::TransferOptions options)
{
    const std::lock_guard lock(m_sharedWithTransfers);
    m_transferOptions = options;
}

void QTftp::setVerifyAfterUpload(bool verify)
{
    m_verifyAfterUpload = verify;
}

void QTftp::setUpdateObserver(UpdateObserver *observer)
{
    m_updateObserver = observer;
}

void QTftp::setReportDigests(bool digests)
{
    m_reportDigests = digests;
}

void QTftp::stopUpdate()
{
    m_stopRequested = true;
}

void QTftp::setStatus(const QString &text)
{
    m_errorString = text;
    emit errorStringChanged(m_errorString);
}

// The controller's properties belong to its own thread. A transfer running
// elsewhere hands each update over through the update queue, which keeps
// them in order and ahead of the future's finished notification.
void QTftp::applyOnControllerThread(TransferUpdates::Update update)
{
    if (QThread::currentThread() == thread())
        update();
    else if (!m_destroying)
        m_updates.post(std::move(update));
}
