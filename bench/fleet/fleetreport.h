#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One run of swtxupdate updating a number of devices at once.
struct FleetRun
{
    QString failure; // empty when it exited 0 and every device got every file
    double wallMs = 0;
    double clientCpuMs = 0; // swtxupdate's own user and system time
    std::optional<double> serverCpuMs; // the devices' side, where it can be measured
    std::optional<double> ackDelayMs; // the devices' mean time from a block to its ACK, where known
};

// The counted runs for one number of devices.
struct FleetSeries
{
    int devices = 0;
    QList<FleetRun> runs;
};

// What every table describes.
struct FleetSetup
{
    QString program;
    qsizetype imageSize = 0;
    qint64 blocksPerDevice = 0; // the image's blocks and the "done" marker's
    int turnaroundMs = 0;
    int rounds = 0;
};

// Markdown on standard output.
void printFleetHeader(const FleetSetup &setup, const QString &loadAtStart);
// The stand-in's table, followed by whether 8 devices met the targets
// against 1 device.
void printStandInTable(const FleetSetup &setup, const QList<FleetSeries> &results);
void printTftpdTable(const FleetSetup &setup, const QList<FleetSeries> &results);
// What starting the program costs with no transfer at all (--version): part of
// every run's wall and CPU time, whatever the number of devices.
void printStartupCost(const QList<double> &wallMs, const QList<double> &cpuMs);
void printFleetNote(const QString &note);
void printFleetFailures(const QStringList &failures);

QString loadAverage();
