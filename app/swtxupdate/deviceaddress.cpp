#include "app/swtxupdate/deviceaddress.h"

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

std::optional<QHostAddress> deviceAddressFor(const QList<QHostAddress> &addresses, const QString &localAddress)
{
    if (!localAddress.isEmpty())
        return firstOfFamily(addresses, QHostAddress(localAddress).protocol());
    if (const std::optional<QHostAddress> ipv4 = firstOfFamily(addresses, QAbstractSocket::IPv4Protocol))
        return ipv4;
    return firstOfFamily(addresses, QAbstractSocket::IPv6Protocol);
}
