#include "tftp/devicelink.h"

#include <QHostAddress>
#include <QUdpSocket>

struct DeviceLink::State
{
    QUdpSocket &socket;
    QHostAddress device;
    unsigned short port;
    bool stayWithFirstPort;
    bool answered = false;
    QByteArray datagram; // reused: header and payload put together
};

DeviceLink::DeviceLink(QUdpSocket &socket, const QHostAddress &device, unsigned short port, bool stayWithFirstPort)
    : d(new State{ socket, device, port, stayWithFirstPort })
{
}

DeviceLink::~DeviceLink() = default;

bool DeviceLink::send(QByteArrayView header, QByteArrayView payload)
{
    d->datagram.truncate(0);
    d->datagram.append(header);
    d->datagram.append(payload);
    return d->socket.writeDatagram(d->datagram, d->device, d->port) == d->datagram.size();
}

qsizetype DeviceLink::receive(QByteArray &buffer, int timeoutMs)
{
    // A datagram already queued makes the wait return at once.
    if (!d->socket.waitForReadyRead(timeoutMs))
        return -1;
    QHostAddress sender;
    unsigned short senderPort = 0;
    const qint64 length = d->socket.readDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
    if (length < 0 || !sender.isEqual(d->device, QHostAddress::TolerantConversion))
        return -1;
    if (d->answered && d->stayWithFirstPort && senderPort != d->port)
        return -1;
    d->answered = true;
    d->port = senderPort;
    return length;
}
