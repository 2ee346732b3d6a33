#include "tftp/deviceaddress.h"

namespace Tftp {

namespace {

QHostAddress unmapped(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

std::optional<QHostAddress> firstOfFamily(const QList<QHostAddress> &addresses,
                                          QAbstractSocket::NetworkLayerProtocol family)
{
    for (const QHostAddress &address : addresses) {
        if (unmapped(address).protocol() == family)
            return unmapped(address);
    }
    return std::nullopt;
}

} // namespace

std::optional<QHostAddress> reachableAddress(const QList<QHostAddress> &addresses, const QHostAddress &local)
{
    const QAbstractSocket::NetworkLayerProtocol bound = local.protocol();
    if (bound == QAbstractSocket::IPv4Protocol || bound == QAbstractSocket::IPv6Protocol)
        return firstOfFamily(addresses, bound);
    if (const std::optional<QHostAddress> ipv4 = firstOfFamily(addresses, QAbstractSocket::IPv4Protocol))
        return ipv4;
    return firstOfFamily(addresses, QAbstractSocket::IPv6Protocol);
}

} // namespace Tftp
