#include "tftp/devicelink.h"

#include <QHostAddress>
#include <QPointer>
#include <QUdpSocket>

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>

namespace {

// Whether two socket addresses name the same host; their ports may differ.
bool sameHost(const sockaddr_storage &a, const sockaddr_storage &b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr
                == reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &b6 = reinterpret_cast<const sockaddr_in6 &>(b);
        return std::memcmp(&a6.sin6_addr, &b6.sin6_addr, sizeof a6.sin6_addr) == 0
                && a6.sin6_scope_id == b6.sin6_scope_id;
    }
    return false;
}

unsigned short portOf(const sockaddr_storage &address)
{
    return ntohs(address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in &>(address).sin_port
                                              : reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
}

} // namespace

struct DeviceLink::State
{
    // A transfer that fails deletes its socket while the link still exists.
    QPointer<QUdpSocket> socket;
    int descriptor;
    int savedFlags;
    QHostAddress device;
    unsigned short port; // where the first datagram goes
    bool stayWithFirstPort;
    // Where the device last answered from, port included; AF_UNSPEC before
    // its first answer.
    sockaddr_storage answeredFrom{};
    socklen_t answeredFromLength = 0;
    // The receive time-out set on the descriptor; 0 before the first receive.
    int receiveTimeoutMs = 0;
};

DeviceLink::DeviceLink(QUdpSocket &socket, const QHostAddress &device, unsigned short port, bool stayWithFirstPort)
    : d(new State{ &socket, int(socket.socketDescriptor()), 0, device, port, stayWithFirstPort })
{
    d->savedFlags = ::fcntl(d->descriptor, F_GETFL);
    ::fcntl(d->descriptor, F_SETFL, d->savedFlags & ~O_NONBLOCK);
}

DeviceLink::~DeviceLink()
{
    // Once the socket is gone, its descriptor's number may belong to another
    // file.
    if (d->socket)
        ::fcntl(d->descriptor, F_SETFL, d->savedFlags);
}

bool DeviceLink::send(QByteArrayView header, QByteArrayView payload)
{
    const qsizetype size = header.size() + payload.size();
    const auto sendBySocket = [&](const QHostAddress &address, unsigned short port) {
        const QByteArray datagram = header.toByteArray() + payload.toByteArray();
        return d->socket->writeDatagram(datagram, address, port) == size;
    };
    // Until the device answers, the socket sends by itself: it knows how to
    // reach an address of the other IP version. Only requests go then.
    if (d->answeredFrom.ss_family == AF_UNSPEC)
        return sendBySocket(d->device, d->port);
    iovec parts[2] = { { const_cast<char *>(header.data()), size_t(header.size()) },
                       { const_cast<char *>(payload.data()), size_t(payload.size()) } };
    msghdr message{};
    message.msg_name = &d->answeredFrom;
    message.msg_namelen = d->answeredFromLength;
    message.msg_iov = parts;
    message.msg_iovlen = payload.isEmpty() ? 1 : 2;
    if (::sendmsg(d->descriptor, &message, 0) == size)
        return true;
    // A datagram the system refused was not sent: the socket tries it once
    // more, and words the failure if there is one.
    return sendBySocket(QHostAddress(reinterpret_cast<const sockaddr *>(&d->answeredFrom)), portOf(d->answeredFrom));
}

qsizetype DeviceLink::receive(QByteArray &buffer, int timeoutMs)
{
    // A time-out of zero would mean none at all.
    const int sliceMs = std::max(timeoutMs, 1);
    if (sliceMs != d->receiveTimeoutMs) {
        const timeval timeout{ sliceMs / 1000, (sliceMs % 1000) * 1000 };
        ::setsockopt(d->descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        d->receiveTimeoutMs = sliceMs;
    }

    sockaddr_storage sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t length = ::recvfrom(d->descriptor, buffer.data(), size_t(buffer.size()), 0,
                                      reinterpret_cast<sockaddr *>(&sender), &senderLength);
    if (length < 0) {
        // Nothing came. A wait of the socket's own puts the time-out into its
        // error text.
        d->socket->waitForReadyRead(0);
        return -1;
    }
    const bool answered = d->answeredFrom.ss_family != AF_UNSPEC;
    const bool fromDevice = answered
            ? sameHost(sender, d->answeredFrom) && (!d->stayWithFirstPort || portOf(sender) == portOf(d->answeredFrom))
            : QHostAddress(reinterpret_cast<const sockaddr *>(&sender)).isEqual(d->device, QHostAddress::TolerantConversion);
    if (!fromDevice)
        return -1;
    d->answeredFrom = sender;
    d->answeredFromLength = senderLength;
    return length;
}
