#pragma once

#include <QByteArray>
#include <QString>

class TftpdProcess;

// A firmware image's name, as a technician's folder holds one, and the
// end-of-update marker's, an empty upload after the images.
extern const QString benchImageName;
extern const QString benchMarkerName;

// The same pseudo-random bytes for the same size, so that a block stored
// twice, lost or out of order shows.
QByteArray benchImage(qsizetype size);
// Writes folder with image in it under benchImageName; empty when written,
// otherwise what went wrong.
QString writeFirmwareFolder(const QString &folder, const QByteArray &image);

// Empty when stored is exactly expected; otherwise what differs.
QString mismatch(const QString &name, const QByteArray &stored, const QByteArray &expected);
// The same for what a server stored under name.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected);
