#include "qtftp.h"

#include <QThread>
#include <QUdpSocket>

namespace {

// The window cannot show progress faster than it paints a frame.
constexpr qint64 progressIntervalMs = 16;

} // namespace

// The controller's properties belong to its own thread. A transfer running
// elsewhere hands each update over through the update queue, which keeps
// them in order and ahead of the future's finished notification.
void QTftp::applyOnControllerThread(TransferUpdates::Update update)
{
    if (QThread::currentThread() == thread())
        update();
    else if (!m_stopRequested)
        m_updates.post(std::move(update));
}

QTftp::TransferScope::TransferScope(QTftp &tftp)
    : controller(tftp)
{
    ++tftp.m_runningTransfers;
    const std::lock_guard lock(tftp.m_sharedWithTransfers);
    tftp.m_transfer.localAddress = tftp.m_localAddress;
    tftp.m_transfer.remoteAddress = tftp.m_remoteAddress;
    tftp.m_transfer.remotePort = tftp.m_remotePort;
    tftp.m_transfer.bypassableFiles = k_bypassableFiles;
}

QTftp::TransferScope::~TransferScope()
{
    --controller.m_runningTransfers;
}

bool QTftp::bindSocket()
{
    releaseSocket();
    udpSocket = new QUdpSocket;
    const bool bound = udpSocket->bind(QHostAddress(m_transfer.localAddress), 0);
    reportLocalPort(udpSocket->localPort());
    return bound;
}

bool QTftp::setTftpError(QString message)
{
    // The socket goes first, so that whoever sees the final status also sees
    // the transfer without a socket.
    releaseSocket();
    setTransferStatus(message);
    return false;
}

bool QTftp::finishTransfer(const QString &message, bool result)
{
    setTftpError(message);
    return result;
}

bool QTftp::abandonTransfer()
{
    releaseSocket();
    return false;
}

// A socket belongs to the thread that made it; only that thread may delete
// it at once.
void QTftp::releaseSocket()
{
    if (!udpSocket)
        return;
    if (udpSocket->thread() == QThread::currentThread())
        delete udpSocket;
    else
        udpSocket->deleteLater();
    udpSocket = nullptr;
}

// A socket that outlives its transfer is handed to the controller's thread,
// which can then always delete it.
void QTftp::keepSocketForController()
{
    if (udpSocket && udpSocket->thread() != thread())
        udpSocket->moveToThread(thread());
}

void QTftp::setTransferStatus(const QString &text)
{
    applyOnControllerThread([this, text] {
        m_errorString = text;
        emit errorStringChanged(m_errorString);
    });
}

void QTftp::reportLocalPort(unsigned short port)
{
    applyOnControllerThread([this, port] { setLocalPort(port); });
}

void QTftp::reportNewFile(int size)
{
    m_transfer.sinceProgressShown.start();
    applyOnControllerThread([this, size] {
        m_fileSize = size;
        emit fileSizeChanged(m_fileSize);
        m_fileProgress = 0;
        emit fileProgressChanged(m_fileProgress);
    });
}

// Sends the window at most one progress value per frame, and never a second
// one while the first waits to be shown; the last value always goes.
void QTftp::reportFileProgress(int progress, bool lastBlock)
{
    if (!lastBlock
        && (m_progressUpdatePending || m_transfer.sinceProgressShown.elapsed() < progressIntervalMs))
        return;
    m_transfer.sinceProgressShown.start();
    m_progressUpdatePending = true;
    applyOnControllerThread([this, progress] {
        m_progressUpdatePending = false;
        m_fileProgress = progress;
        emit fileProgressChanged(m_fileProgress);
    });
}
