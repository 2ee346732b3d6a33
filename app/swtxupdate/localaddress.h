#pragma once

#include <QString>

#include <optional>

// The local address to send from: --interface as given (an interface's
// human-readable name, whose first IPv4 address is taken, or an address of
// this machine), else the interface the window saved, else any address
// (an empty string). Nothing, with *error set, for an unknown interface.
std::optional<QString> localAddressFor(const QString &interfaceOption, QString *error);
