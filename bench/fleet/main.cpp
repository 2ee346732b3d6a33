// Fleet benchmark. The real swtxupdate program updates 1, 4, 8 and 16
// devices at once with a 1 MiB image and the "done" marker, over a number of
// rounds, against two kinds of device:
//
//  1. A stand-in that acknowledges each block 2 ms after it arrived, as a
//     device writing flash does, one process for all devices. Against it the
//     update waits on the devices, as it does in the field, so the wall time
//     of N devices against one tells whether they really run in parallel, and
//     the client's CPU time per block whether it stays as cheap with many.
//     8 devices are also updated with --verify, which reads each image back
//     (the stand-in serves it at once), for the cost of the proof.
//  2. tftpd-hpa, one server per device on loopback, for information: it
//     answers at once, so the servers and the client share the processors and
//     the figures measure them rather than the fleet.
//
// Every device's files are compared byte for byte. The client's CPU time is
// that of the swtxupdate child alone, from wait4(). It prints figures and
// whether the targets were met, and judges nothing by speed. Exit status: 0
// when every update succeeded, 1 when one failed, 2 when the benchmark cannot
// run here.

#include "bench/clients.h"
#include "bench/fleet/devicestandin.h"
#include "bench/report.h"
#include "tests/support/tftpdprocess.h"
#include "tftp/tftppacket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype imageSize = 1 << 20;
// A firmware image as a technician's folder holds it.
const QString &imageName = benchImageName;
const QString &doneName = benchMarkerName;
// The image's blocks and the "done" marker's.
constexpr qint64 blocksPerDevice = imageSize / Tftp::BlockSize + 2;
// Both targets compare this many devices with one; --verify is measured there.
constexpr int targetDevices = 8;
constexpr double targetRatio = 1.10;
// Far beyond the slowest update measured here (16 devices, about 5 s), and
// beyond the client's own 10 s reply time-out.
constexpr int updateTimeoutMs = 120000;

struct Options
{
    int rounds = 5;
    int turnaroundMs = 2;
    QList<double> deviceCounts;
    bool tftpd = true;
};

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Runs swtxupdate against 1, 4, 8 and 16 devices at once: devices played by a stand-in that "
            "acknowledges each block after a fixed turnaround, then tftpd-hpa servers on loopback (needs root). "
            "Exit status: 0 every update succeeded, 1 an update failed, 2 cannot run."_s);
    parser.addHelpOption();
    const QCommandLineOption rounds(u"rounds"_s, u"Rounds, at least 1 (default 5)."_s, u"count"_s, u"5"_s);
    const QCommandLineOption turnaround(u"turnaround"_s, u"The stand-in's delay before each ACK (default 2 ms)."_s,
                                        u"ms"_s, u"2"_s);
    const QCommandLineOption devices(u"devices"_s, u"Device counts, comma-separated (default 1,4,8,16)."_s, u"counts"_s,
                                     u"1,4,8,16"_s);
    const QCommandLineOption noTftpd(u"no-tftpd"_s, u"Skip the runs against tftpd-hpa."_s);
    parser.addOptions({ rounds, turnaround, devices, noTftpd });
    parser.process(app);

    const std::optional<QList<double>> counts = parseNumbers(parser.value(devices), 1);
    const std::optional<QList<double>> numbers =
            parseNumbers(parser.value(rounds) + u',' + parser.value(turnaround), 0);
    if (!counts || !numbers || numbers->at(0) < 1)
        return std::nullopt;
    return Options{ int(numbers->at(0)), int(numbers->at(1)), *counts, !parser.isSet(noTftpd) };
}

// The runs of swtxupdate for one number of devices, with or without --verify.
struct Series
{
    Series(int deviceCount, bool withVerify)
        : devices(deviceCount)
        , verify(withVerify)
    {
    }

    int devices;
    bool verify;
    int runs = 0;
    QList<double> wallMs; // of the runs that succeeded
    QList<double> cpuMs;
    QList<double> ackDelayMs; // the stand-in's mean time from a block to its ACK

    // A read-back moves the image's blocks once more.
    double cpuUsPerBlock() const
    {
        return median(cpuMs) * 1000 / double(devices * (blocksPerDevice + (verify ? blocksPerDevice - 1 : 0)));
    }
};

const Series *findSeries(const QList<Series> &results, int devices, bool verify)
{
    const auto found = std::find_if(results.cbegin(), results.cend(), [&](const Series &series) {
        return series.devices == devices && series.verify == verify && !series.wallMs.isEmpty();
    });
    return found == results.cend() ? nullptr : &*found;
}

// The table, with wall time and CPU per block against one device's.
void printSeries(const QList<Series> &results)
{
    const Series *one = findSeries(results, 1, false);
    QList<QStringList> rows;
    for (const Series &series : results) {
        const bool measured = !series.wallMs.isEmpty();
        const bool comparable = measured && one;
        rows.append({ series.verify ? u"%1, --verify"_s.arg(series.devices) : QString::number(series.devices),
                      figure(median(series.wallMs), 0, measured),
                      figure(comparable ? median(series.wallMs) / median(one->wallMs) : 0, 2, comparable),
                      figure(median(series.cpuMs), 0, measured), figure(series.cpuUsPerBlock(), 1, measured),
                      figure(comparable ? series.cpuUsPerBlock() / one->cpuUsPerBlock() : 0, 2, comparable),
                      figure(median(series.ackDelayMs), 3, !series.ackDelayMs.isEmpty()),
                      u"%1/%2"_s.arg(series.wallMs.size()).arg(series.runs) });
    }
    printTable({ u"Devices"_s, u"Wall (ms)"_s, u"Wall ÷ 1 device"_s, u"Client CPU (ms)"_s, u"Client CPU µs/block"_s,
                 u"CPU/block ÷ 1 device"_s, u"Stand-in turnaround (ms)"_s, u"Succeeded"_s },
               rows);
}

void printTargets(const QList<Series> &results)
{
    const Series *one = findSeries(results, 1, false);
    const Series *many = findSeries(results, targetDevices, false);
    const Series *verified = findSeries(results, targetDevices, true);
    for (const bool cpu : { false, true }) {
        const double ratio = !one || !many ? 0
                : cpu                      ? many->cpuUsPerBlock() / one->cpuUsPerBlock()
                                           : median(many->wallMs) / median(one->wallMs);
        print(u"- %1 for %2 devices ≤ %3 × that for 1 device: %4"_s.arg(
                cpu ? u"Client CPU per block"_s : u"Wall time"_s, QString::number(targetDevices), fixed(targetRatio, 2),
                one && many ? judged(ratio, ratio <= targetRatio) : u"not measured"_s));
    }
    print(u"- --verify at %1 devices ÷ the same update without it, wall time: %2\n"_s.arg(
            QString::number(targetDevices),
            figure(many && verified ? median(verified->wallMs) / median(many->wallMs) : 0, 2, many && verified)));
}

class FleetBenchmark
{
public:
    FleetBenchmark(const Options &options, const QString &workPath)
        : m_options(options)
        , m_folder(workPath + u"/firmware"_s)
        , m_image(benchImage(imageSize))
        , m_clients(workPath)
        , m_standIn(std::chrono::milliseconds(options.turnaroundMs))
    {
        if (const QString failure = writeFirmwareFolder(m_folder, m_image); !failure.isEmpty())
            m_setupFailures.append(failure);
        m_setupFailures.append(m_clients.missing({ Program::Swtxupdate }));
        m_standInPorts = m_standIn.openDevicePorts(mostDevices());
        if (m_standInPorts.size() < mostDevices())
            m_setupFailures.append(u"the stand-in could open only %1 device ports"_s.arg(m_standInPorts.size()));
    }

    // Why the benchmark cannot run; empty when it can.
    QStringList setupFailures() const { return m_setupFailures; }

    int run()
    {
        const QString tftpdUnavailable = m_options.tftpd ? startServers() : u"skipped (--no-tftpd)"_s;
        print(u"# Fleet benchmark\n"_s);
        print(u"- %1 at the start"_s.arg(machineLine()));
        print(u"- client: swtxupdate --quiet, one process per run, every device in parallel"_s);
        print(u"- image: %L1 bytes, then the \"done\" marker: %L2 blocks per device"_s.arg(imageSize).arg(
                blocksPerDevice));
        print(u"- %1 rounds, the device counts interleaved in each; every figure is a median over the rounds\n"_s.arg(
                m_options.rounds));

        // One uncounted round brings the program and its libraries into
        // memory; its failures count too.
        Series warmUp(1, false);
        runOnStandIn(warmUp);
        QList<Series> standIn;
        QList<Series> tftpd;
        for (const double devices : std::as_const(m_options.deviceCounts)) {
            standIn.append(Series(int(devices), false));
            tftpd.append(Series(int(devices), false));
        }
        if (!m_options.deviceCounts.contains(targetDevices))
            standIn.append(Series(targetDevices, false));
        standIn.append(Series(targetDevices, true));
        if (!tftpdUnavailable.isEmpty())
            tftpd.clear();
        for (int round = 0; round < m_options.rounds; ++round) {
            for (qsizetype i = 0; i < standIn.size(); ++i) {
                runOnStandIn(standIn[i]);
                if (i < tftpd.size())
                    runOnServers(tftpd[i]);
            }
        }

        print(u"## Devices that write each block to flash (stand-in, %1 ms turnaround per block)\n"_s.arg(
                m_options.turnaroundMs));
        printSeries(standIn);
        printTargets(standIn);
        const Startup startup = m_clients.startup(Program::Swtxupdate);
        print(u"Starting the program alone (`--version`, median of 5): wall %1 ms, CPU %2 ms.\n"_s.arg(
                fixed(startup.wallMs, 1), fixed(startup.cpuMs, 1)));
        print(u"## tftpd-hpa on loopback, one server per device (for information)\n"_s);
        if (tftpdUnavailable.isEmpty())
            printSeries(tftpd);
        else
            print(tftpdUnavailable + u'\n');
        print(u"Load average at the end: %1.\n"_s.arg(loadAverage()));
        printFailures(m_failures);
        return m_failures.isEmpty() ? 0 : 1;
    }

private:
    int mostDevices() const
    {
        return std::max(targetDevices,
                        int(*std::max_element(m_options.deviceCounts.cbegin(), m_options.deviceCounts.cend())));
    }

    // Empty when a server runs for every device; otherwise why not.
    QString startServers()
    {
        for (int i = 0; i < mostDevices(); ++i) {
            auto &server = m_servers.emplace_back(std::make_unique<TftpdProcess>());
            if (!server->start())
                return u"cannot start server %1: %2"_s.arg(QString::number(i + 1), server->errorString());
        }
        return {};
    }

    // Runs swtxupdate for the series' devices at ports; records the run, or
    // its failure with the problems that check() finds after it.
    template <typename Check>
    void runUpdate(Series &series, const QString &what, const QList<quint16> &ports, Check check)
    {
        QStringList command = { m_clients.path(Program::Swtxupdate), u"--quiet"_s };
        if (series.verify)
            command.append(u"--verify"_s);
        command.append(m_folder);
        for (quint16 port : ports)
            command.append(u"127.0.0.1:%1"_s.arg(port));
        const ChildRun child = m_clients.run(command, updateTimeoutMs);
        QStringList problems = { child.failure };
        if (child.failure.isEmpty())
            problems.append(check());
        problems.removeAll(QString());
        ++series.runs;
        if (problems.isEmpty()) {
            series.wallMs.append(child.wallMs);
            series.cpuMs.append(child.cpuMs);
        } else {
            m_failures.append(u"%1: %2"_s.arg(what, problems.join(u"; "_s)));
        }
        progress(u"%1: %2"_s.arg(what, problems.isEmpty() ? fixed(child.wallMs, 0) + u" ms"_s : u"FAILED"_s));
    }

    // Every device must have received the image and then the marker, each
    // byte for byte.
    void runOnStandIn(Series &series)
    {
        const QList<quint16> ports = m_standInPorts.first(series.devices);
        m_standIn.takeReceivedFiles();
        const QString what = u"%1 devices played by the stand-in%2"_s.arg(series.devices)
                                     .arg(series.verify ? u", --verify"_s : QString());
        runUpdate(series, what, ports, [&] {
            const QList<ReceivedFile> received = m_standIn.takeReceivedFiles();
            qint64 turnaroundNs = 0;
            int acknowledgedBlocks = 0;
            QStringList problems;
            for (quint16 port : ports) {
                QStringList names;
                for (const ReceivedFile &file : received) {
                    if (file.devicePort != port)
                        continue;
                    names.append(file.name);
                    turnaroundNs += file.turnaroundNs;
                    acknowledgedBlocks += file.acknowledgedBlocks;
                    if (!file.failure.isEmpty() || file.bytes != (file.name == imageName ? m_image : QByteArray()))
                        problems.append(
                                u"device %1, %2: other bytes %3"_s.arg(QString::number(port), file.name, file.failure));
                }
                if (names != QStringList{ imageName, doneName })
                    problems.append(u"device %1 received [%2]"_s.arg(QString::number(port), names.join(u", "_s)));
            }
            if (acknowledgedBlocks > 0)
                series.ackDelayMs.append(double(turnaroundNs) / acknowledgedBlocks / 1e6);
            return problems;
        });
    }

    // Every server must hold the image byte for byte and an empty marker.
    void runOnServers(Series &series)
    {
        QList<quint16> ports;
        for (int i = 0; i < series.devices; ++i) {
            QFile::remove(m_servers.at(i)->filePath(imageName));
            QFile::remove(m_servers.at(i)->filePath(doneName));
            ports.append(m_servers.at(i)->port());
        }
        runUpdate(series, u"%1 devices on tftpd-hpa"_s.arg(series.devices), ports, [&] {
            QStringList problems;
            for (int i = 0; i < series.devices; ++i) {
                problems.append(storedMismatch(*m_servers.at(i), imageName, m_image));
                problems.append(storedMismatch(*m_servers.at(i), doneName, QByteArray("", 0)));
            }
            return problems;
        });
    }

    Options m_options;
    QString m_folder;
    QByteArray m_image;
    Clients m_clients;
    DeviceStandIn m_standIn;
    QList<quint16> m_standInPorts;
    std::vector<std::unique_ptr<TftpdProcess>> m_servers;
    QStringList m_setupFailures;
    QStringList m_failures;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Figures carry thousands separators: 1,048,576.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    const std::optional<Options> options = parseOptions(app);
    QTemporaryDir work;
    if (!options || !work.isValid()) {
        qCritical("bad use, or no temporary directory: see --help");
        return 2;
    }
    FleetBenchmark benchmark(*options, work.path());
    if (const QStringList failures = benchmark.setupFailures(); !failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }
    return benchmark.run();
}
