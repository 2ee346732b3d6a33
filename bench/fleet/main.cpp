// Fleet benchmark. The real swtxupdate program updates 1, 4, 8 and 16
// devices at once with a 1 MiB image and the "done" marker, over a number of
// rounds, against two kinds of device:
//
//  1. A stand-in that acknowledges each block 2 ms after it arrived, as a
//     device writing flash does, one process for all devices. Against it the
//     update waits on the devices, as it does in the field, so the wall time
//     of N devices against one tells whether they really run in parallel, and
//     the client's CPU time per block whether it stays as cheap with many.
//  2. tftpd-hpa, one server per device on loopback, for information: it
//     answers at once, so the servers and the client share the processors and
//     the figures measure them rather than the fleet. Every stored file is
//     compared byte for byte.
//
// The client's CPU time is that of the swtxupdate child alone, from wait4().
// It prints figures and whether the targets were met, and judges nothing by
// speed. Exit status: 0 when every update succeeded, 1 when one failed, 2
// when the benchmark cannot run here.

#include "bench/childrun.h"
#include "bench/fleet/devicestandin.h"
#include "bench/fleet/fleetreport.h"
#include "bench/upload.h"
#include "tests/support/tftpdprocess.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString updateProgram = QStringLiteral(SWTX_UPDATE_PROGRAM);
constexpr qsizetype imageSize = 1 << 20;
// A firmware image as a technician's folder holds it.
const QString imageName = u"7421BT-v1.0.bin"_s;
const QString doneName = u"done"_s;
constexpr int defaultRounds = 5;
constexpr int defaultTurnaroundMs = 2;
const QList<int> defaultDeviceCounts = { 1, 4, 8, 16 };
// Far beyond the slowest update measured here (16 devices, about 5 s), and
// beyond the client's own 10 s reply time-out.
constexpr int updateTimeoutMs = 120000;

struct Options
{
    int rounds = defaultRounds;
    int turnaroundMs = defaultTurnaroundMs;
    QList<int> deviceCounts = defaultDeviceCounts;
    bool tftpd = true;
};

std::optional<QList<int>> parseDeviceCounts(const QString &text)
{
    QList<int> counts;
    for (const QString &field : text.split(u',')) {
        bool valid = false;
        const int count = field.toInt(&valid);
        if (!valid || count < 1)
            return std::nullopt;
        counts.append(count);
    }
    return counts;
}

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Runs swtxupdate against 1, 4, 8 and 16 devices at once: devices played by a stand-in that "
            "acknowledges each block after a fixed turnaround, then tftpd-hpa servers on loopback (needs root). "
            "Exit status: 0 every update succeeded, 1 an update failed, 2 cannot run."_s);
    parser.addHelpOption();
    const QCommandLineOption rounds(u"rounds"_s, u"Rounds, at least 1 (default %1)."_s.arg(defaultRounds),
                                    u"count"_s, QString::number(defaultRounds));
    const QCommandLineOption turnaround(
            u"turnaround"_s, u"The stand-in's delay before each ACK (default %1 ms)."_s.arg(defaultTurnaroundMs),
            u"ms"_s, QString::number(defaultTurnaroundMs));
    const QCommandLineOption devices(u"devices"_s, u"Device counts, comma-separated (default 1,4,8,16)."_s,
                                     u"counts"_s, u"1,4,8,16"_s);
    const QCommandLineOption noTftpd(u"no-tftpd"_s, u"Skip the runs against tftpd-hpa."_s);
    parser.addOptions({ rounds, turnaround, devices, noTftpd });
    parser.process(app);

    Options options;
    bool valid = false;
    options.rounds = parser.value(rounds).toInt(&valid);
    if (!valid || options.rounds < 1) {
        qCritical("--rounds needs a whole number of at least 1");
        return std::nullopt;
    }
    options.turnaroundMs = parser.value(turnaround).toInt(&valid);
    if (!valid || options.turnaroundMs < 0) {
        qCritical("--turnaround needs a whole number of milliseconds");
        return std::nullopt;
    }
    const std::optional<QList<int>> counts = parseDeviceCounts(parser.value(devices));
    if (!counts) {
        qCritical("--devices needs whole numbers of at least 1, separated by commas");
        return std::nullopt;
    }
    options.deviceCounts = *counts;
    options.tftpd = !parser.isSet(noTftpd);
    return options;
}

QString devicesText(int devices)
{
    return devices == 1 ? u"1 device"_s : u"%1 devices"_s.arg(devices);
}

QStringList deviceArguments(const QString &host, const QList<quint16> &ports)
{
    QStringList devices;
    for (quint16 port : ports)
        devices.append(u"%1:%2"_s.arg(host).arg(port));
    return devices;
}

// Runs swtxupdate on a firmware folder of one image, with a home of its own
// so that it reads no interface or address the window saved.
class FleetBenchmark
{
public:
    FleetBenchmark(const Options &options, const QString &workPath)
        : m_options(options)
        , m_workPath(workPath)
        , m_folder(workPath + u"/firmware"_s)
        , m_standIn(std::chrono::milliseconds(options.turnaroundMs))
    {
        QList<quint32> words(imageSize / 4);
        QRandomGenerator(0x5eed).fillRange(words.data(), words.size());
        m_image = QByteArray(reinterpret_cast<const char *>(words.constData()), imageSize);

        const QString home = workPath + u"/home"_s;
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(u"HOME"_s, home);
        m_environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);

        QFile image(m_folder + u'/' + imageName);
        if (!QDir().mkpath(m_folder) || !QDir().mkpath(home) || !image.open(QIODevice::WriteOnly)
            || image.write(m_image) != m_image.size())
            m_setupFailures.append(u"cannot write the firmware folder %1"_s.arg(m_folder));
        if (!QFileInfo(updateProgram).isExecutable())
            m_setupFailures.append(u"%1 is not built"_s.arg(updateProgram));

        m_standInPorts = m_standIn.openDevicePorts(mostDevices());
        if (m_standInPorts.size() < mostDevices())
            m_setupFailures.append(u"the stand-in could open only %1 of %2 device ports"_s.arg(
                    QString::number(m_standInPorts.size()), QString::number(mostDevices())));
    }

    // Why the benchmark cannot run; empty when it can.
    QStringList setupFailures() const { return m_setupFailures; }

    FleetSetup setup() const
    {
        return { updateProgram, imageSize, blockCount(imageSize) + blockCount(0), m_options.turnaroundMs,
                 m_options.rounds };
    }

    int run()
    {
        const QString loadAtStart = loadAverage();
        const QString tftpdUnavailable = m_options.tftpd ? startServers() : u"skipped (--no-tftpd)"_s;
        printFleetHeader(setup(), loadAtStart);

        // One uncounted round brings the program and its libraries into
        // memory; its failures count too.
        countFailure(runOnStandIn(1));
        if (tftpdUnavailable.isEmpty())
            countFailure(runOnServers(1));

        QList<FleetSeries> standInResults;
        QList<FleetSeries> tftpdResults;
        for (int devices : std::as_const(m_options.deviceCounts)) {
            standInResults.append(FleetSeries{ devices, {} });
            tftpdResults.append(FleetSeries{ devices, {} });
        }
        for (int round = 0; round < m_options.rounds; ++round) {
            for (qsizetype i = 0; i < m_options.deviceCounts.size(); ++i) {
                const int devices = m_options.deviceCounts.at(i);
                standInResults[i].runs.append(countFailure(runOnStandIn(devices)));
                if (tftpdUnavailable.isEmpty())
                    tftpdResults[i].runs.append(countFailure(runOnServers(devices)));
            }
        }

        printStandInTable(setup(), standInResults);
        measureStartup();
        if (tftpdUnavailable.isEmpty())
            printTftpdTable(setup(), tftpdResults);
        else
            printFleetNote(u"tftpd-hpa: %1"_s.arg(tftpdUnavailable));
        printFleetFailures(m_failures);
        return m_failures.isEmpty() ? 0 : 1;
    }

private:
    int mostDevices() const
    {
        return *std::max_element(m_options.deviceCounts.cbegin(), m_options.deviceCounts.cend());
    }

    // Empty when a server runs for every device; otherwise why not.
    QString startServers()
    {
        if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
            return reason;
        for (int i = 0; i < mostDevices(); ++i) {
            auto &server = m_servers.emplace_back(std::make_unique<TftpdProcess>());
            if (!server->start())
                return u"cannot start server %1: %2"_s.arg(QString::number(i + 1), server->errorString());
        }
        return {};
    }

    void measureStartup()
    {
        constexpr int samples = 5;
        QList<double> wallMs;
        QList<double> cpuMs;
        for (int i = 0; i < samples; ++i) {
            const ChildRun child = runChild({ updateProgram, u"--version"_s }, m_environment,
                                            m_workPath + u"/swtxupdate.log"_s, updateTimeoutMs);
            wallMs.append(child.wallMs);
            cpuMs.append(child.cpuMs);
        }
        printStartupCost(wallMs, cpuMs);
    }

    FleetRun countFailure(const FleetRun &run)
    {
        if (!run.failure.isEmpty())
            m_failures.append(run.failure);
        return run;
    }

    FleetRun runUpdate(int devices, const QStringList &deviceArguments)
    {
        const ChildRun child = runChild(QStringList{ updateProgram, u"--quiet"_s, m_folder } + deviceArguments,
                                        m_environment, m_workPath + u"/swtxupdate.log"_s, updateTimeoutMs);
        FleetRun run;
        run.wallMs = child.wallMs;
        run.clientCpuMs = child.cpuMs;
        if (!child.failure.isEmpty() || child.exitCode != 0) {
            const QString how =
                    child.failure.isEmpty() ? u"exited with status %1"_s.arg(child.exitCode) : child.failure;
            // Its summary table, indented to stay inside the list item.
            const QString output = child.output.trimmed().replace(u'\n', u"\n  "_s);
            run.failure = u"%1: swtxupdate %2:\n  %3"_s.arg(devicesText(devices), how, output);
        }
        return run;
    }

    // Every device must have received the image and then the marker, each
    // complete and in block order.
    FleetRun runOnStandIn(int devices)
    {
        const QList<quint16> ports = m_standInPorts.first(devices);
        m_standIn.takeReceivedFiles();
        const auto cpuBefore = m_standIn.threadCpuTime();
        FleetRun run = runUpdate(devices, deviceArguments(u"127.0.0.1"_s, ports));
        run.serverCpuMs = double((m_standIn.threadCpuTime() - cpuBefore).count()) / 1000;
        if (!run.failure.isEmpty())
            return run;

        const QList<ReceivedFile> received = m_standIn.takeReceivedFiles();
        qint64 turnaroundNs = 0;
        int acknowledgedBlocks = 0;
        for (const ReceivedFile &file : received) {
            turnaroundNs += file.turnaroundNs;
            acknowledgedBlocks += file.acknowledgedBlocks;
        }
        if (acknowledgedBlocks > 0)
            run.ackDelayMs = double(turnaroundNs) / acknowledgedBlocks / 1e6;
        QStringList problems;
        for (quint16 port : ports) {
            QStringList names;
            for (const ReceivedFile &file : received) {
                if (file.devicePort != port)
                    continue;
                names.append(file.name);
                const qint64 expectedBytes = file.name == imageName ? imageSize : 0;
                if (!file.failure.isEmpty())
                    problems.append(u"device %1, %2: %3"_s.arg(QString::number(port), file.name, file.failure));
                else if (file.bytes != expectedBytes)
                    problems.append(u"device %1, %2: %L3 bytes, expected %L4"_s.arg(QString::number(port), file.name)
                                            .arg(file.bytes)
                                            .arg(expectedBytes));
            }
            if (names != QStringList{ imageName, doneName })
                problems.append(u"device %1 received [%2], expected [%3, %4]"_s.arg(
                        QString::number(port), names.join(u", "_s), imageName, doneName));
        }
        if (!problems.isEmpty())
            run.failure = u"%1 played by the stand-in: %2"_s.arg(devicesText(devices), problems.join(u"; "_s));
        return run;
    }

    // Every server must hold the image byte for byte and an empty marker.
    FleetRun runOnServers(int devices)
    {
        QList<quint16> ports;
        for (int i = 0; i < devices; ++i) {
            const TftpdProcess &server = *m_servers.at(i);
            QFile::remove(server.filePath(imageName));
            QFile::remove(server.filePath(doneName));
            ports.append(server.port());
        }
        FleetRun run = runUpdate(devices, deviceArguments(m_servers.front()->address().toString(), ports));
        if (!run.failure.isEmpty())
            return run;

        QStringList problems;
        for (int i = 0; i < devices; ++i) {
            const TftpdProcess &server = *m_servers.at(i);
            if (server.readFile(imageName) != m_image)
                problems.append(u"server %1 does not hold the image byte for byte"_s.arg(server.port()));
            if (const QByteArray done = server.readFile(doneName); done.isNull() || !done.isEmpty())
                problems.append(u"server %1 holds no empty %2"_s.arg(QString::number(server.port()), doneName));
        }
        if (!problems.isEmpty())
            run.failure = u"%1 on tftpd-hpa: %2"_s.arg(devicesText(devices), problems.join(u"; "_s));
        return run;
    }

    Options m_options;
    QString m_workPath;
    QString m_folder;
    QByteArray m_image;
    QProcessEnvironment m_environment;
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
    if (!options)
        return 2;
    QTemporaryDir work;
    if (!work.isValid()) {
        qCritical().noquote() << "cannot make a temporary directory:" << work.errorString();
        return 2;
    }
    FleetBenchmark benchmark(*options, work.path());
    if (const QStringList failures = benchmark.setupFailures(); !failures.isEmpty()) {
        printFleetFailures(failures);
        return 2;
    }
    return benchmark.run();
}
