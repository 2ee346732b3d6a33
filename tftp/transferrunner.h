#pragma once

#include "tftp/transferoptions.h"
#include "tftp/transferpolicy.h"
#include "tftp/transferresult.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class DeviceLink;
class QUdpSocket;

namespace Tftp {

struct TransferStep;

// Where a transfer runs between: the local address to bind (empty for any)
// and the device's host name or address and port.
struct Endpoints
{
    QString localAddress;
    QString remoteAddress;
    quint16 remotePort = 69;
};

// Runs one transfer on the calling thread, blocking it: binds a socket of its
// own, carries the state machine's datagrams to and from the device, and
// keeps the time. Waits are cut into short slices so that a stop request is
// noticed within a tenth of a second.
class TransferRunner
{
public:
    struct Callbacks
    {
        // After binding, with the local port (0 when the bind failed).
        std::function<void(quint16 localPort, bool bound)> bound;
        // The request went out.
        std::function<void()> requestSent;
        // A new DATA packet went out: the bytes written so far.
        std::function<void(qint64 bytesSent)> progress;
        // The first DATA packet went out with what the device accepted.
        std::function<void(const NegotiatedOptions &options)> accepted;
    };

    TransferRunner(Endpoints endpoints, TransferPolicy policy, TransferOptions options,
                   const std::atomic<bool> &stopRequested, Callbacks callbacks = {});
    ~TransferRunner();
    TransferRunner(const TransferRunner &) = delete;
    TransferRunner &operator=(const TransferRunner &) = delete;

    // Both resolve the device's name first, to an address the bound socket
    // can reach. A bypassable image may be refused.
    TransferResult put(const QString &fileName, const QByteArray &image, bool bypassable);
    TransferResult get(const QString &fileName, QByteArray *destination);

private:
    enum class Receipt { Datagram, TimedOut, Stopped };

    bool bind();
    template<typename Transfer>
    TransferResult run(Transfer &transfer, const TransferStep &request);
    template<typename Transfer>
    TransferResult exchange(Transfer &transfer, DeviceLink &link, TransferStep step);
    static bool sendAll(DeviceLink &link, const TransferStep &step);
    Receipt receive(DeviceLink &link, int timeoutMs);
    TransferResult withSocketError(TransferResult result) const;

    Endpoints m_endpoints;
    TransferPolicy m_policy;
    TransferOptions m_options;
    const std::atomic<bool> &m_stopRequested;
    Callbacks m_callbacks;
    std::unique_ptr<QUdpSocket> m_socket;
    QByteArray m_datagram;
    qsizetype m_datagramLength = 0;
};

} // namespace Tftp
