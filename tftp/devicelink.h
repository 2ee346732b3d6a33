#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

class QHostAddress;
class QUdpSocket;

// The datagrams of one transfer, between its bound socket and the device.
// Datagrams from any other address are dropped, and each send goes to the
// port the device last answered from. A link that stays with the first port
// drops, as RFC 1350 asks, what comes from any other port of the device, such
// as a second transfer process answering a repeated request.
//
// Where POSIX sockets are at hand, the lock-step traffic goes straight through
// the socket's descriptor, put in blocking mode for the link's lifetime: the
// kernel then wakes the transfer with the datagram already read, each block
// costs two system calls and no allocation, and a DATA packet's payload goes
// out from the image itself. Elsewhere it goes through
// QUdpSocket's own calls. Either way a failure leaves its reason in the
// socket's error text, in QUdpSocket's words.
class DeviceLink
{
public:
    DeviceLink(QUdpSocket &socket, const QHostAddress &device, unsigned short port, bool stayWithFirstPort);
    // Hands the socket back in the mode QUdpSocket expects, if it still exists.
    ~DeviceLink();
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    // Sends one datagram, header then payload, to the device; false when it
    // was not sent.
    bool send(QByteArrayView header, QByteArrayView payload = {});
    // Waits up to timeoutMs for one datagram and reads it into buffer, which
    // must hold the largest one expected. Returns its length when it came
    // from the device; -1 when none came, or when the one that came was from
    // elsewhere and has been dropped.
    qsizetype receive(QByteArray &buffer, int timeoutMs);

private:
    struct State; // what the platform's implementation keeps
    std::unique_ptr<State> d;
};
