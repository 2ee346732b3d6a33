#pragma once

#include <QHostAddress>
#include <QList>

#include <optional>

namespace Tftp {

// Of the addresses a device's name gave, in their order, the one a socket
// bound to local can send to. A socket bound to an IPv4 address reaches IPv4
// addresses only, also when written in IPv6's mapped form, which is taken as
// IPv4; one bound to an IPv6 address, IPv6 addresses only. One bound to any
// address (local is null or Any) reaches both, and takes IPv4 first: a device
// named by a host that has both most often serves on IPv4 alone.
std::optional<QHostAddress> reachableAddress(const QList<QHostAddress> &addresses, const QHostAddress &local);

} // namespace Tftp
