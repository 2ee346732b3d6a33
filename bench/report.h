#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class TftpdProcess;

// What the benchmark's parts share: reporting, as Markdown on standard output
// and progress on standard error, figures with thousands separators; and the
// firmware they upload.
void print(const QString &line = {});
void progress(const QString &line);
QString fixed(double value, int decimals);
// A dash for a figure that could not be measured.
QString figure(double value, int decimals, bool measured = true);

// The middle value, or the mean of the two middle ones; 0 for no values.
double median(QList<double> values);

// The machine and the load now: processors, kernel, Qt and load average.
QString machineLine();
QString loadAverage();

// A Markdown table: the first column left-aligned, the others right-aligned.
void printTable(const QStringList &header, const QList<QStringList> &rows);
// A target's figure, marked when missed.
QString judged(double value, bool met);
void printFailures(const QStringList &failures);

// A firmware image's name, as a technician's folder holds one, and the
// end-of-update marker's, an empty upload after the images.
extern const QString benchImageName;
extern const QString benchMarkerName;

// The same pseudo-random bytes for the same size, so that a block stored
// twice, lost or out of order shows.
QByteArray benchImage(qsizetype size);
// Writes folder with image in it under name; empty when written, otherwise
// what went wrong.
QString writeFirmwareFolder(const QString &folder, const QByteArray &image, const QString &name = benchImageName);

// Empty when stored is exactly expected; otherwise what differs.
QString mismatch(const QString &name, const QByteArray &stored, const QByteArray &expected);
// The same for what a server stored under name.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected);
