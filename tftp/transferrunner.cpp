#include "tftp/transferrunner.h"

#include "tftp/deviceaddress.h"
#include "tftp/devicelink.h"
#include "tftp/readtransfer.h"
#include "tftp/writetransfer.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QNetworkProxy>
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

TransferRunner::TransferRunner(Endpoints endpoints, TransferPolicy policy, TransferOptions options,
                               const std::atomic<bool> &stopRequested, Callbacks callbacks)
    : m_endpoints(std::move(endpoints))
    , m_policy(policy)
    , m_options(options)
    , m_stopRequested(stopRequested)
    , m_callbacks(std::move(callbacks))
{
}

TransferRunner::~TransferRunner() = default;

TransferResult TransferRunner::put(const QString &fileName, const QByteArray &image, bool bypassable)
{
    WriteTransfer transfer(fileName, image, bypassable, m_policy, m_options);
    const TransferStep request = transfer.start();
    if (request.action == TransferStep::Finish)
        return request.result;
    return run(transfer, request);
}

TransferResult TransferRunner::get(const QString &fileName, QByteArray *destination)
{
    ReadTransfer transfer(fileName, destination, m_policy, m_options);
    return run(transfer, transfer.start());
}

// Binds, finds the device, and carries the transfer from its request on.
template<typename Transfer>
TransferResult TransferRunner::run(Transfer &transfer, const TransferStep &request)
{
    if (!bind())
        return withSocketError({ TransferResult::BindFailed });

    const QHostInfo host = QHostInfo::fromName(m_endpoints.remoteAddress);
    if (host.addresses().isEmpty()) {
        TransferResult notFound{ TransferResult::HostNotFound };
        notFound.text = host.hostName();
        return notFound;
    }
    const std::optional<QHostAddress> device = reachableAddress(host.addresses(), m_socket->localAddress());
    if (!device) {
        TransferResult unreachable{ TransferResult::NoReachableAddress };
        unreachable.text = host.hostName();
        return unreachable;
    }
    // Datagrams queued before the request belong to nobody. Dropped before the
    // link starts, whose blocking mode would make the socket's peek wait.
    while (m_socket->hasPendingDatagrams())
        m_socket->readDatagram(nullptr, 0);
    DeviceLink link(*m_socket, *device, m_endpoints.remotePort, m_policy.resilient());
    return exchange(transfer, link, request);
}

bool TransferRunner::bind()
{
    m_socket = std::make_unique<QUdpSocket>();
    // A device on the local network is never reached through a proxy, and
    // asking the system for one costs a helper thread and milliseconds.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    // Without a local address the socket serves both IP versions.
    const QHostAddress local(m_endpoints.localAddress);
    const bool bound = m_socket->bind(local.isNull() ? QHostAddress(QHostAddress::Any) : local, 0);
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
    bool dataSent = false;
    QDeadlineTimer deadline;
    for (;;) {
        switch (step.action) {
        case TransferStep::Finish: {
            const TransferResult result =
                    step.result.outcome == TransferResult::TimedOut ? withSocketError(step.result) : step.result;
            // A farewell to the device, if any; whether it arrives changes nothing.
            sendAll(link, step);
            return result;
        }
        case TransferStep::Send:
        case TransferStep::SendLast:
            if (!sendAll(link, step))
                return withSocketError(transfer.notSent().result);
            if (!requestSent && m_callbacks.requestSent)
                m_callbacks.requestSent();
            requestSent = true;
            if (step.progress >= 0 && !dataSent && m_callbacks.accepted)
                m_callbacks.accepted(step.result.options);
            dataSent = dataSent || step.progress >= 0;
            if (step.progress >= 0 && m_callbacks.progress)
                m_callbacks.progress(step.progress);
            if (step.action == TransferStep::SendLast)
                return step.result;
            deadline.setRemainingTime(step.waitMs);
            break;
        case TransferStep::Await:
            deadline.setRemainingTime(step.waitMs);
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
            step = transfer.stopped();
            break;
        }
    }
}

bool TransferRunner::sendAll(DeviceLink &link, const TransferStep &step)
{
    for (qsizetype i = 0; i < step.datagramCount; ++i) {
        if (!link.send(step.datagrams[i].header, step.datagrams[i].payload))
            return false;
    }
    return true;
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
