#pragma once

#include <QString>

// The interface and device address the window remembers between runs, in
// the per-user settings store under the window's name, whatever program
// reads them.
class SavedSettings
{
public:
    static QString interfaceName();
    static void setInterfaceName(const QString &name);
    static QString deviceAddress();
    static void setDeviceAddress(const QString &address);
};
