#pragma once

#include <QList>
#include <QString>

class QTftp;

// One file of an update, in sending order.
struct FirmwareFile
{
    QString name;
    qint64 size = 0;
    bool applicationImage = false;
};

// The files the controller chose from folder, in sending order, without the
// "done" marker; builds the controller's file list as a side effect.
QList<FirmwareFile> firmwarePlan(QTftp &tftp, const QString &folder);

// The empty file that tells the device the update is complete.
FirmwareFile doneMarker();
