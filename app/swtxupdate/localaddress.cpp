#include "app/swtxupdate/localaddress.h"

#include "app/swtxupdate/messages.h"
#include "controller/savedsettings.h"

#include <QNetworkInterface>

namespace {

QString firstIpv4Address(const QNetworkInterface &networkInterface)
{
    const QList<QNetworkAddressEntry> entries = networkInterface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return entry.ip().toString();
    }
    return {};
}

std::optional<QString> addressOfNamedInterface(const QString &name, QString *error)
{
    QStringList known;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &networkInterface : interfaces) {
        known.append(networkInterface.humanReadableName());
        if (networkInterface.humanReadableName() != name)
            continue;
        const QString address = firstIpv4Address(networkInterface);
        if (address.isEmpty()) {
            *error = QStringLiteral("interface %1 has no IPv4 address").arg(name);
            return std::nullopt;
        }
        return address;
    }
    *error = QStringLiteral("unknown interface %1 (this machine has: %2)").arg(name, known.join(QStringLiteral(", ")));
    return std::nullopt;
}

} // namespace

std::optional<QString> localAddressFor(const QString &interfaceOption, QString *error)
{
    if (!interfaceOption.isEmpty()) {
        const QHostAddress address(interfaceOption);
        if (address.isNull())
            return addressOfNamedInterface(interfaceOption, error);
        // Binding to an address the machine does not have fails only once
        // the transfer starts; say so before anything is sent.
        if (!QNetworkInterface::allAddresses().contains(address)) {
            *error = QStringLiteral("unknown interface: no interface of this machine has address %1").arg(interfaceOption);
            return std::nullopt;
        }
        return address.toString();
    }
    const QString savedName = SavedSettings::interfaceName();
    if (savedName.isEmpty())
        return QString();
    const QString address = firstIpv4Address(QNetworkInterface::interfaceFromName(savedName));
    if (address.isEmpty())
        printWarning(QStringLiteral("the saved interface %1 has no IPv4 address now; sending from any address").arg(savedName));
    return address;
}
