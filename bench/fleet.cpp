#include "bench/parts.h"

#include "bench/childrun.h"
#include "bench/report.h"
#include "tests/support/devicestandin.h"

#include <algorithm>
#include <map>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype fleetImageSize = 1 << 20;
constexpr qsizetype memoryImageSize = 30 << 20;
// The wall-time target compares this many devices with one; --verify is
// measured there too.
constexpr int targetDevices = 8;
constexpr double wallTarget = 1.10;
// Device counts of the memory figures, each with its target against one
// device's peak.
const QList<std::pair<int, double>> memoryTargets = { { 1, 1.0 }, { 8, 1.25 }, { 32, 1.5 } };
// Far beyond the slowest update measured here, and the client's own 10 s
// reply time-out.
constexpr int updateTimeoutMs = 300000;

// The runs of one kind of update; the figures are of those that succeeded.
struct Series
{
    int runs = 0;
    QList<double> wallMs;
    QList<double> cpuMs;
    QList<double> memoryMib;
};

// As many devices as the largest update goes to, each writing flash.
QList<StandInDevice> playedDevices(const FleetSetup &setup)
{
    StandInDevice device;
    device.turnaround = std::chrono::milliseconds(setup.turnaroundMs);
    return QList<StandInDevice>(std::max(memoryTargets.constLast().first,
                                         *std::max_element(setup.devices.cbegin(), setup.devices.cend())),
                                device);
}

class Fleet
{
public:
    Fleet(const FleetSetup &setup, const QString &workPath)
        : m_setup(setup)
        , m_workPath(workPath)
        , m_standIn(playedDevices(setup))
        , m_ports(m_standIn.ports())
    {
    }

    QStringList run()
    {
        if (m_ports.contains(0))
            return { u"the stand-in could not open a port for every device"_s };
        if (m_setup.fleet && prepare(u"fleet"_s, fleetImageSize))
            measureWallTimes();
        if (m_setup.memory && prepare(u"memory"_s, memoryImageSize))
            measureMemory();
        return m_failures;
    }

private:
    // A firmware folder with an image of size; false when it cannot be written.
    bool prepare(const QString &name, qsizetype size)
    {
        m_folder = m_workPath + u'/' + name;
        m_image = benchImage(size);
        const QString failure = writeFirmwareFolder(m_folder, m_image);
        if (!failure.isEmpty())
            m_failures.append(failure);
        return failure.isEmpty();
    }

    // One swtxupdate run to the first devices; it counts in series when it
    // succeeded and every device stored the image and then the marker, byte
    // for byte.
    void update(Series &series, const QString &what, int devices, const QStringList &options, bool peakMemory)
    {
        QStringList command = QStringList{ swtxupdatePath(), u"--quiet"_s } + options + QStringList{ m_folder };
        for (const quint16 port : m_ports.first(devices))
            command.append(u"127.0.0.1:%1"_s.arg(port));
        m_standIn.clearFiles();
        const ChildRun child = runChild(command, updateTimeoutMs, peakMemory);
        const QList<DeviceStandIn::File> files = m_standIn.files();
        m_standIn.clearFiles();
        QStringList problems = { child.failure };
        for (const quint16 port : m_ports.first(devices)) {
            QStringList names;
            for (const DeviceStandIn::File &file : files) {
                if (file.port != port)
                    continue;
                names.append(file.name);
                problems.append(mismatch(file.name, file.bytes,
                                         file.name == benchImageName ? m_image : QByteArray("", 0)));
            }
            if (names != QStringList{ benchImageName, benchMarkerName })
                problems.append(u"device %1 stored [%2]"_s.arg(QString::number(port), names.join(u", "_s)));
        }
        problems.removeAll(QString());
        ++series.runs;
        if (problems.isEmpty()) {
            series.wallMs.append(child.wallMs);
            series.cpuMs.append(child.cpuMs);
            series.memoryMib.append(child.peakMemoryMib);
        } else {
            m_failures.append(u"%1: %2"_s.arg(what, problems.join(u"; "_s)));
        }
        progress(u"%1: %2"_s.arg(what, problems.isEmpty() ? fixed(child.wallMs, 0) + u" ms"_s : u"FAILED"_s));
    }

    void measureWallTimes()
    {
        QList<std::pair<int, bool>> kinds; // devices, and whether with --verify
        for (const int devices : m_setup.devices)
            kinds.append({ devices, false });
        kinds.append({ targetDevices, true });
        const auto label = [](const std::pair<int, bool> &kind) {
            return kind.second ? u"%1, --verify"_s.arg(kind.first) : QString::number(kind.first);
        };
        // One uncounted run brings the program and its libraries into memory.
        Series warmUp;
        update(warmUp, u"fleet warm-up"_s, 1, {}, false);
        std::map<std::pair<int, bool>, Series> series;
        for (int round = 0; round < m_setup.rounds; ++round) {
            for (const auto &kind : kinds)
                update(series[kind], u"fleet, devices: "_s + label(kind), kind.first,
                       kind.second ? QStringList{ u"--verify"_s } : QStringList(), false);
        }

        print(u"## Fleet: devices that write each block to flash\n"_s);
        print(u"swtxupdate --quiet, lock-step, a %L1-byte image and the \"done\" marker to every device at once, the "
              "devices played by the stand-in with a %2 ms turnaround, a read-back (--verify) served at once. Medians "
              "of %3 interleaved rounds; wall time from the spawn to the reaping.\n"_s.arg(fleetImageSize)
                      .arg(m_setup.turnaroundMs)
                      .arg(m_setup.rounds));
        const double oneMs = median(series[{ 1, false }].wallMs);
        QList<QStringList> rows;
        for (const auto &kind : kinds) {
            const Series &runs = series[kind];
            const bool measured = !runs.wallMs.isEmpty();
            rows.append({ label(kind), figure(median(runs.wallMs), 0, measured),
                          figure(median(runs.wallMs) / oneMs, 2, measured && oneMs > 0),
                          figure(median(runs.cpuMs), 0, measured), u"%1/%2"_s.arg(runs.wallMs.size()).arg(runs.runs) });
        }
        printTable({ u"Devices"_s, u"Wall (ms)"_s, u"Wall ÷ 1 device"_s, u"Client CPU (ms)"_s, u"Succeeded"_s }, rows);
        const double ratio = median(series[{ targetDevices, false }].wallMs) / oneMs;
        print(u"Target: the wall time of %1 devices at most %2 × one device's: %3.\n"_s.arg(
                QString::number(targetDevices), fixed(wallTarget, 2),
                ratio > 0 && oneMs > 0 ? judged(ratio, ratio <= wallTarget) : u"not measured"_s));
    }

    void measureMemory()
    {
        std::map<int, Series> series;
        for (int round = 0; round < m_setup.rounds; ++round) {
            for (const auto &[devices, target] : memoryTargets)
                update(series[devices], u"memory, %1 devices"_s.arg(devices), devices, { u"--fast"_s }, true);
        }
        const ChildRun start = runChild({ swtxupdatePath(), u"--version"_s }, 10000, true);

        print(u"## Memory: one update to many devices\n"_s);
        print(u"The peak resident memory of swtxupdate --fast --quiet (wait4's ru_maxrss) while it sends a %L1-byte "
              "image and the \"done\" marker to every device at once, the devices played by the stand-in with a %2 ms "
              "turnaround; medians of %3 rounds. swtxupdate --version alone peaks at %4 MiB.\n"_s.arg(memoryImageSize)
                      .arg(m_setup.turnaroundMs)
                      .arg(m_setup.rounds)
                      .arg(fixed(start.peakMemoryMib, 1)));
        const double oneMib = median(series[1].memoryMib);
        QList<QStringList> rows;
        for (const auto &[devices, target] : memoryTargets) {
            const Series &runs = series[devices];
            const bool measured = !runs.memoryMib.isEmpty() && oneMib > 0;
            const double ratio = measured ? median(runs.memoryMib) / oneMib : 0;
            rows.append({ QString::number(devices), figure(median(runs.memoryMib), 1, measured),
                          measured ? judged(ratio, ratio <= target) : u"–"_s,
                          devices == 1 ? u"–"_s : u"≤ %1"_s.arg(fixed(target, 2)),
                          u"%1/%2"_s.arg(runs.memoryMib.size()).arg(runs.runs) });
        }
        printTable({ u"Devices"_s, u"Peak memory (MiB)"_s, u"÷ 1 device"_s, u"Target"_s, u"Succeeded"_s }, rows);
    }

    const FleetSetup &m_setup;
    QString m_workPath;
    DeviceStandIn m_standIn;
    QList<quint16> m_ports; // the devices', in order
    QString m_folder;
    QByteArray m_image; // in m_folder
    QStringList m_failures;
};

} // namespace

QStringList runFleet(const FleetSetup &setup, const QString &workPath)
{
    return Fleet(setup, workPath).run();
}
