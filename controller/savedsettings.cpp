#include "controller/savedsettings.h"

#include "controller/identity.h"

#include <QSettings>

namespace {

// Keys that earlier versions wrote; stored settings depend on them.
const QString savedInterfaceKey = QStringLiteral("savedInterface");
const QString savedAddressKey = QStringLiteral("savedAddress");

QSettings store()
{
    return QSettings(QSettings::defaultFormat(), QSettings::UserScope, QString::fromLatin1(Identity::organizationName),
                     QString::fromLatin1(Identity::windowName));
}

} // namespace

QString SavedSettings::interfaceName()
{
    return store().value(savedInterfaceKey).toString();
}

void SavedSettings::setInterfaceName(const QString &name)
{
    store().setValue(savedInterfaceKey, name);
}

QString SavedSettings::deviceAddress()
{
    return store().value(savedAddressKey).toString();
}

void SavedSettings::setDeviceAddress(const QString &address)
{
    store().setValue(savedAddressKey, address);
}
