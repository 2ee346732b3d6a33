#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A firmware image found in a folder.
struct FirmwareFile
{
    QString name;
    // The device may refuse an application image that it runs already.
    bool applicationImage = false;
};

// The names of the regular files in a folder, in name order ignoring case.
QStringList folderFileNames(const QString &folder);

// The firmware among names, in sending order: the application images
// first, then the other families, each pattern's matches in the order of
// names. The patterns are not anchored, and a name that two patterns match
// is sent twice.
QList<FirmwareFile> selectFirmware(const QStringList &names);
