#pragma once

#include "app/swtxupdate/devicetarget.h"
#include "tftp/transferoptions.h"
#include "tftp/transferpolicy.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the command line asks for. The local address and, when no device is
// named, the device itself come from the window's saved settings later on.
struct UpdateOptions
{
    QString folder;
    QList<DeviceTarget> devices;
    QString interfaceName; // --interface as given, a name or an address
    QString logPath;
    bool listOnly = false;
    bool json = false; // --list as one JSON document
    bool allowEmpty = false;
    bool quiet = false;
    bool verify = false;
    Tftp::TransferPolicy policy;
    Tftp::TransferOptions transferOptions; // asked for only when given
};

struct ParsedCommandLine
{
    UpdateOptions options;
    QString error; // empty unless the command line is bad use
};

// Handles --help and --version itself (printing and exiting with status 0).
ParsedCommandLine parseCommandLine(const QStringList &arguments);
