#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// Of the addresses a device's name gave, in their order, the one to send to
// from localAddress (empty for any): one of the family the socket binds, as
// a socket of one family cannot reach the other's addresses. An IPv4 address
// in IPv6's mapped form counts as IPv4. With no local address the socket
// binds IPv4, so IPv4 comes first; an IPv6 address is taken only when the
// device has no IPv4 one, and the socket then binds IPv6's any address.
std::optional<QHostAddress> deviceAddressFor(const QList<QHostAddress> &addresses, const QString &localAddress);
