#include "tftp/transferrunner.h"

#include "tftp/devicelink.h"
#include "tftp/readtransfer.h"
#include "tftp/writetransfer.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QUdpSocket>

namespace Tftp {

namespace {

// How long a wait runs before it looks whether it should stop.
constexpr int stopCheckIntervalMs = 100;

// The largest UDP payload fits, so a datagram is never cut short.
constexpr qsizetype receiveBufferSize = 65536;

// The socket's words for a wait that ended empty. A wait whose last slice
// ended with a datagram from elsewhere left none in the transfer's socket, so
// an idle socket is asked instead.
QString timeoutText(QUdpSocket &socket)
{
    if (socket.error() == QAbstractSocket::SocketTimeoutError)
        return socket.errorString();
    QUdpSocket idle;
    idle.bind(QHostAddress(QHostAddress::LocalHost), 0);
    idle.waitForReadyRead(0);
    return idle.errorString();
}

} // namespace

TransferRunner::TransferRunner(Endpoints endpoints, TransferPolicy policy, const std::atomic<bool> &stopRequested,
                               Callbacks callbacks)
    : m_endpoints(std::move(endpoints))
    , m_policy(policy)
    , m_stopRequested(stopRequested)
    , m_callbacks(std::move(callbacks))
{
}

TransferRunner::~TransferRunner() = default;

TransferResult TransferRunner::put(const QString &fileName, const QByteArray &image, bool bypassable)
{
    WriteTransfer transfer(fileName, image, bypassable, m_policy);
    const TransferStep request = transfer.start();
    if (request.action == TransferStep::Finish)
        return request.result;
    if (!bind())
        return withSocketError({ TransferResult::BindFailed });

    const QHostInfo host = QHostInfo::fromName(m_endpoints.remoteAddress);
    if (host.addresses().isEmpty()) {
        TransferResult notFound{ TransferResult::HostNotFound };
        notFound.text = host.hostName();
        return notFound;
    }
    DeviceLink link(*m_socket, host.addresses().constFirst(), m_endpoints.remotePort, m_policy.resilient());
    return exchange(transfer, link, request);
}

TransferResult TransferRunner::get(const QString &fileName, QByteArray *destination)
{
    ReadTransfer transfer(fileName, destination, m_policy);
    if (!bind())
        return withSocketError({ TransferResult::BindFailed });
    // Datagrams queued before the request belong to nobody. Dropped before the
    // link starts, whose blocking mode would make the socket's peek wait.
    while (m_socket->hasPendingDatagrams())
        m_socket->readDatagram(nullptr, 0);
    DeviceLink link(*m_socket, QHostAddress(m_endpoints.remoteAddress), m_endpoints.remotePort,
                    m_policy.resilient());
    return exchange(transfer, link, transfer.start());
}

bool TransferRunner::bind()
{
    m_socket = std::make_unique<QUdpSocket>();
    const bool bound = m_socket->bind(QHostAddress(m_endpoints.localAddress), 0);
    if (m_callbacks.bound)
        m_callbacks.bound(m_socket->localPort(), bound);
    return bound;
}

// Carries out the transfer's steps, from its request on, and hands it what
// comes back, until it ends. A datagram it ignores does not restart the wait.
template<typename Transfer>
TransferResult TransferRunner::exchange(Transfer &transfer, DeviceLink &link, TransferStep step)
{
    bool requestSent = false;
    qint64 bytesSent = 0;
    const auto finished = [&bytesSent](TransferResult result) {
        result.bytesSent = bytesSent;
        return result;
    };

    QDeadlineTimer deadline;
    for (;;) {
        switch (step.action) {
        case TransferStep::Finish:
            return finished(step.result.outcome == TransferResult::TimedOut ? withSocketError(step.result)
                                                                            : step.result);
        case TransferStep::Send:
        case TransferStep::SendLast:
            if (!link.send(step.datagram))
                return finished(withSocketError(transfer.notSent().result));
            if (!requestSent && m_callbacks.requestSent)
                m_callbacks.requestSent();
            requestSent = true;
            if (step.progress >= 0) {
                bytesSent = step.progress;
                if (m_callbacks.progress)
                    m_callbacks.progress(bytesSent);
            }
            if (step.action == TransferStep::SendLast)
                return finished({ TransferResult::Delivered });
            deadline.setRemainingTime(m_policy.replyTimeoutMs);
            break;
        case TransferStep::KeepWaiting:
            break;
        }

        switch (receive(link, int(deadline.remainingTime()))) {
        case Receipt::Datagram:
            step = transfer.received(QByteArrayView(m_datagram.constData(), m_datagramLength));
            break;
        case Receipt::TimedOut:
            step = transfer.timedOut();
            break;
        case Receipt::Stopped:
            return finished({ TransferResult::Stopped });
        }
    }
}

// Waits up to timeoutMs for a datagram from the device; datagrams from
// anywhere else are dropped within the same wait.
TransferRunner::Receipt TransferRunner::receive(DeviceLink &link, int timeoutMs)
{
    if (m_datagram.size() < receiveBufferSize)
        m_datagram.resize(receiveBufferSize);
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (m_stopRequested)
            return Receipt::Stopped;
        m_datagramLength = link.receive(m_datagram, int(qMin<qint64>(deadline.remainingTime(), stopCheckIntervalMs)));
        if (m_datagramLength >= 0)
            return Receipt::Datagram;
        if (deadline.hasExpired())
            return Receipt::TimedOut;
    }
}

TransferResult TransferRunner::withSocketError(TransferResult result) const
{
    result.text = result.outcome == TransferResult::TimedOut ? timeoutText(*m_socket) : m_socket->errorString();
    return result;
}

} // namespace Tftp
