#include "bench/fleet/fleetreport.h"

#include "bench/median.h"

#include <QDateTime>
#include <QFile>
#include <QLibraryInfo>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Both targets compare this many devices with one.
constexpr int targetDevices = 8;
constexpr double targetRatio = 1.10;

void print(const QString &line = {})
{
    static QTextStream out(stdout);
    out << line << Qt::endl;
}

QString fixed(double value, int decimals)
{
    return u"%L1"_s.arg(value, 0, 'f', decimals);
}

// Medians over a series' successful runs.
struct Summary
{
    int devices = 0;
    int succeeded = 0;
    int runs = 0;
    qint64 blocks = 0;
    double wallMs = 0;
    double minWallMs = 0;
    double maxWallMs = 0;
    double clientCpuMs = 0;
    std::optional<double> serverCpuMs;
    std::optional<double> ackDelayMs;
    double cpuUsPerBlock = 0;
};

Summary summarize(const FleetSetup &setup, const FleetSeries &series)
{
    Summary summary;
    summary.devices = series.devices;
    summary.runs = int(series.runs.size());
    summary.blocks = series.devices * setup.blocksPerDevice;
    QList<double> wallMs;
    QList<double> clientCpuMs;
    QList<double> serverCpuMs;
    QList<double> ackDelayMs;
    for (const FleetRun &run : series.runs) {
        if (!run.failure.isEmpty())
            continue;
        wallMs.append(run.wallMs);
        clientCpuMs.append(run.clientCpuMs);
        if (run.serverCpuMs)
            serverCpuMs.append(*run.serverCpuMs);
        if (run.ackDelayMs)
            ackDelayMs.append(*run.ackDelayMs);
    }
    summary.succeeded = int(wallMs.size());
    if (wallMs.isEmpty())
        return summary;
    const auto [minWall, maxWall] = std::minmax_element(wallMs.cbegin(), wallMs.cend());
    summary.minWallMs = *minWall;
    summary.maxWallMs = *maxWall;
    summary.wallMs = median(wallMs);
    summary.clientCpuMs = median(clientCpuMs);
    if (!serverCpuMs.isEmpty())
        summary.serverCpuMs = median(serverCpuMs);
    if (!ackDelayMs.isEmpty())
        summary.ackDelayMs = median(ackDelayMs);
    summary.cpuUsPerBlock = summary.clientCpuMs * 1000 / double(summary.blocks);
    return summary;
}

QList<Summary> summarize(const FleetSetup &setup, const QList<FleetSeries> &results)
{
    QList<Summary> summaries;
    for (const FleetSeries &series : results)
        summaries.append(summarize(setup, series));
    return summaries;
}

// The summary for one device, if it has figures.
const Summary *single(const QList<Summary> &summaries, int devices)
{
    const auto found = std::find_if(summaries.cbegin(), summaries.cend(), [devices](const Summary &summary) {
        return summary.devices == devices && summary.succeeded > 0;
    });
    return found == summaries.cend() ? nullptr : &*found;
}

// Wall time and client CPU per block, each divided by base's; nothing when
// either side has no figures.
struct Ratios
{
    std::optional<double> wall;
    std::optional<double> cpuPerBlock;
};

Ratios ratiosTo(const Summary *summary, const Summary *base)
{
    if (!summary || summary->succeeded == 0 || !base)
        return {};
    return { summary->wallMs / base->wallMs, summary->cpuUsPerBlock / base->cpuUsPerBlock };
}

QString ratioText(std::optional<double> value)
{
    return value ? fixed(*value, 2) : u"–"_s;
}

void printTable(const QList<Summary> &summaries)
{
    const Summary *one = single(summaries, 1);
    print(u"| Devices | Blocks | Wall (ms) | Wall ÷ 1 device | Client CPU (ms) | Client CPU µs/block "
          "| CPU/block ÷ 1 device | Blocks/s | Device side CPU (ms) | ACK delay (ms) | Wall range (ms) "
          "| Succeeded |"_s);
    print(u"|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"_s);
    for (const Summary &summary : summaries) {
        const bool measured = summary.succeeded > 0;
        const auto figure = [measured](double value, int decimals) {
            return measured ? fixed(value, decimals) : u"–"_s;
        };
        const Ratios ratios = ratiosTo(&summary, one);
        const auto optionalFigure = [measured](std::optional<double> value, int decimals) {
            return measured && value ? fixed(*value, decimals) : u"–"_s;
        };
        print(u"| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 | %10 | %11 | %12/%13 |"_s.arg(
                QString::number(summary.devices), fixed(double(summary.blocks), 0), figure(summary.wallMs, 0),
                ratioText(ratios.wall),
                figure(summary.clientCpuMs, 0), figure(summary.cpuUsPerBlock, 1),
                ratioText(ratios.cpuPerBlock),
                figure(double(summary.blocks) * 1000 / std::max(summary.wallMs, 1.0), 0),
                optionalFigure(summary.serverCpuMs, 0), optionalFigure(summary.ackDelayMs, 3),
                measured ? u"%1–%2"_s.arg(fixed(summary.minWallMs, 0), fixed(summary.maxWallMs, 0)) : u"–"_s,
                QString::number(summary.succeeded), QString::number(summary.runs)));
    }
}

void printTarget(const QString &what, std::optional<double> value)
{
    const QString verdict = !value ? u"not measured"_s
            : *value <= targetRatio ? u"met"_s
                                    : u"**missed**"_s;
    print(u"- %1 for %2 devices ≤ %3 × that for 1 device: %4 — %5"_s.arg(
            what, QString::number(targetDevices), fixed(targetRatio, 2), ratioText(value), verdict));
}

} // namespace

void printFleetHeader(const FleetSetup &setup, const QString &loadAtStart)
{
    print(u"# Fleet benchmark"_s);
    print();
    print(u"- %1, %2 cores, kernel %3, Qt %4, load average at start %5"_s.arg(
            QDateTime::currentDateTime().toString(Qt::ISODate), QString::number(QThread::idealThreadCount()),
            QSysInfo::kernelVersion(), QLibraryInfo::version().toString(), loadAtStart));
    print(u"- client: %1, one process per run, every device in parallel"_s.arg(setup.program));
    print(u"- image: %L1 bytes, then the \"done\" marker: %L2 blocks per device"_s.arg(setup.imageSize)
                  .arg(setup.blocksPerDevice));
    print(u"- %1 rounds, the device counts interleaved in each; every figure is a median over the rounds"_s.arg(
            setup.rounds));
    print();
}

void printStandInTable(const FleetSetup &setup, const QList<FleetSeries> &results)
{
    print(u"## Devices that write each block to flash (stand-in, %1 ms turnaround per block)"_s.arg(
            setup.turnaroundMs));
    print();
    const QList<Summary> summaries = summarize(setup, results);
    printTable(summaries);
    print();
    const Ratios eightToOne = ratiosTo(single(summaries, targetDevices), single(summaries, 1));
    printTarget(u"Wall time"_s, eightToOne.wall);
    printTarget(u"Client CPU per block"_s, eightToOne.cpuPerBlock);
    print();
}

void printTftpdTable(const FleetSetup &setup, const QList<FleetSeries> &results)
{
    print(u"## tftpd-hpa on loopback, one server per device (for information)"_s);
    print();
    printTable(summarize(setup, results));
    print();
}

void printStartupCost(const QList<double> &wallMs, const QList<double> &cpuMs)
{
    print(u"Starting the program alone (`--version`, median of %1): wall %2 ms, CPU %3 ms."_s.arg(
            QString::number(wallMs.size()), fixed(median(wallMs), 1), fixed(median(cpuMs), 1)));
    print();
}

void printFleetNote(const QString &note)
{
    print(note);
    print();
}

void printFleetFailures(const QStringList &failures)
{
    if (failures.isEmpty())
        return;
    print(u"## Failures"_s);
    print();
    for (const QString &failure : failures)
        print(u"- "_s + failure);
    print();
}

QString loadAverage()
{
    QFile file(u"/proc/loadavg"_s);
    if (!file.open(QIODevice::ReadOnly))
        return u"unknown"_s;
    return QString::fromLatin1(file.readAll()).section(u' ', 0, 2);
}
