#pragma once

#include <QString>

#include <optional>

// A device named on the command line: a host name or address, optionally
// followed by ":PORT" (an IPv6 address then goes in brackets, "[::1]:6969").
struct DeviceTarget
{
    QString label; // as the user wrote it, for messages and the log
    QString host;
    unsigned short port = 69;

    // Nothing, with *error set, when the text names no host or a port outside 1-65535.
    static std::optional<DeviceTarget> parse(const QString &text, QString *error);
};
