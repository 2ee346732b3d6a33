#include "app/swtxupdate/devicetarget.h"

#include <QHostAddress>

namespace {

std::optional<unsigned short> parsePort(const QString &text)
{
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return std::nullopt;
    return static_cast<unsigned short>(port);
}

} // namespace

std::optional<DeviceTarget> DeviceTarget::parse(const QString &text, QString *error)
{
    DeviceTarget target;
    target.label = text;
    QString portText;
    if (text.startsWith(u'[')) {
        const qsizetype closing = text.indexOf(u']');
        const QString rest = closing < 0 ? QString() : text.mid(closing + 1);
        if (closing < 0 || !(rest.isEmpty() || rest.startsWith(u':'))) {
            *error = QStringLiteral("bad device %1: expected [ADDRESS] or [ADDRESS]:PORT").arg(text);
            return std::nullopt;
        }
        target.host = text.mid(1, closing - 1);
        portText = rest.mid(1);
        if (rest.isEmpty())
            portText = QStringLiteral("69");
    } else if (text.count(u':') == 1) {
        target.host = text.section(u':', 0, 0);
        portText = text.section(u':', 1);
    } else {
        // No colon, or a bare IPv6 address whose colons are not a port.
        if (text.contains(u':') && QHostAddress(text).protocol() != QAbstractSocket::IPv6Protocol) {
            *error = QStringLiteral("bad device %1: expected HOST:PORT, or [ADDRESS]:PORT for IPv6").arg(text);
            return std::nullopt;
        }
        target.host = text;
        portText = QStringLiteral("69");
    }
    if (target.host.isEmpty()) {
        *error = QStringLiteral("bad device %1: no host name or address").arg(text);
        return std::nullopt;
    }
    const std::optional<unsigned short> port = parsePort(portText);
    if (!port) {
        *error = QStringLiteral("bad device %1: port must be a number from 1 to 65535").arg(text);
        return std::nullopt;
    }
    target.port = *port;
    return target;
}
