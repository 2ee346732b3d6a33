// The benchmark: the real swtxupdate program and the window, measured against
// their peers in the same run, on loopback. Its parts, chosen with --parts:
//
//  linkspeed  an 8 MiB image uploaded by swtxupdate (lock-step, --fast, and a
//             window of 64), the tftp-hpa client, curl and atftp to tftpd-hpa
//             and atftpd, directly and through a relay that adds 0, 0.5 and
//             2 ms each way, interleaved over a number of rounds;
//  window     the real window uploads the largest image to tftpd-hpa while a
//             1 ms timer on its GUI thread records how late it fires;
//  fleet      swtxupdate updates many devices at once, played by the device
//             stand-in, against one device;
//  memory     swtxupdate's peak memory for one update to 1, 8 and 32 devices;
//  campaign   resilient mode through a lossy, duplicating and reordering relay,
//             a hundred updates per server and link (not run unless named).
//
// It prints figures as Markdown and whether the targets were met, and judges
// nothing by speed. Exit status: 0 when every upload succeeded with
// byte-identical files (in the campaign: no false success), 1 when one did
// not, 2 when the benchmark cannot run here.

#include "bench/childrun.h"
#include "bench/parts.h"
#include "bench/report.h"
#include "tests/support/tftpdprocess.h"

#include <QCommandLineParser>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QStringList partNames = { u"linkspeed"_s, u"window"_s, u"fleet"_s, u"memory"_s, u"campaign"_s };
const QStringList serverNames = { u"tftpd-hpa"_s, u"atftpd"_s }; // in the order of TftpdProcess::Server

struct Options
{
    QStringList parts;
    QList<int> servers; // TftpdProcess::Server values
    LinkSpeedSetup linkSpeed;
    FleetSetup fleet;
    CampaignSetup campaign;
};

// The comma-separated numbers of text, each at least minimum; nullopt when
// one is not.
std::optional<QList<double>> parseNumbers(const QString &text, double minimum)
{
    QList<double> numbers;
    for (const QString &item : text.split(u',', Qt::SkipEmptyParts)) {
        bool valid = false;
        numbers.append(item.toDouble(&valid));
        if (!valid || numbers.constLast() < minimum)
            return std::nullopt;
    }
    return numbers;
}

// The comma-separated names of text, each one of known; nullopt when one is
// not.
std::optional<QStringList> parseNames(const QString &text, const QStringList &known)
{
    const QStringList names = text.split(u',', Qt::SkipEmptyParts);
    for (const QString &name : names) {
        if (!known.contains(name))
            return std::nullopt;
    }
    return names;
}

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Measures swtxupdate and the window against their peers on loopback: link speed, the window's "
            "responsiveness, a fleet of devices, memory, and resilient mode under loss. Needs root, tftpd-hpa, atftpd "
            "(or its program in .peers/), tftp-hpa, curl and atftp. Exit status: 0 every upload byte-identical, 1 an "
            "upload failed or a stored file differs, 2 cannot run."_s);
    parser.addHelpOption();
    const QCommandLineOption parts(u"parts"_s, u"Parts to run, of %1 (default all but campaign)."_s.arg(
                                           partNames.join(u',')), u"list"_s, partNames.mid(0, 4).join(u','));
    const QCommandLineOption rounds(u"rounds"_s, u"Interleaved rounds, at least 1 (default 3)."_s, u"count"_s, u"3"_s);
    const QCommandLineOption links(u"links"_s, u"Link speed: direct, or the one-way delay in ms (default direct,0,0.5,2)."_s,
                                   u"list"_s, u"direct,0,0.5,2"_s);
    const QCommandLineOption servers(u"servers"_s, u"Link speed and campaign: servers (default tftpd-hpa,atftpd)."_s,
                                     u"list"_s, serverNames.join(u','));
    const QCommandLineOption cases(u"cases"_s, u"Link speed: clients (default %1)."_s.arg(linkSpeedCases().join(u',')),
                                   u"list"_s, linkSpeedCases().join(u','));
    const QCommandLineOption devices(u"devices"_s, u"Fleet: device counts (default 1,4,8,16)."_s, u"list"_s,
                                     u"1,4,8,16"_s);
    const QCommandLineOption turnaround(u"turnaround"_s, u"Fleet and memory: the devices' delay before each ACK "
                                                         "(default 2 ms)."_s, u"ms"_s, u"2"_s);
    const QCommandLineOption uploads(u"uploads"_s, u"Campaign: uploads per server and link (default 100)."_s,
                                     u"count"_s, u"100"_s);
    parser.addOptions({ parts, rounds, links, servers, cases, devices, turnaround, uploads });
    parser.process(app);

    QStringList linkItems = parser.value(links).split(u',');
    const bool direct = linkItems.removeAll(u"direct"_s) > 0;
    const std::optional<QList<double>> delays = parseNumbers(linkItems.join(u','), 0);
    const std::optional<QList<double>> counts =
            parseNumbers(QStringList{ parser.value(rounds), parser.value(uploads), parser.value(devices) }.join(u','), 1);
    const std::optional<QList<double>> turnaroundMs = parseNumbers(parser.value(turnaround), 0);
    const std::optional<QStringList> partList = parseNames(parser.value(parts), partNames);
    const std::optional<QStringList> serverList = parseNames(parser.value(servers), serverNames);
    const std::optional<QStringList> caseList = parseNames(parser.value(cases), linkSpeedCases());
    if (!delays || !counts || counts->size() < 3 || !turnaroundMs || turnaroundMs->size() != 1 || !partList
        || !serverList || !caseList)
        return std::nullopt;
    Options options;
    options.parts = *partList;
    for (const QString &server : *serverList)
        options.servers.append(int(serverNames.indexOf(server)));
    const int roundCount = int(counts->at(0));
    options.linkSpeed = { roundCount, {}, {}, *caseList };
    if (direct)
        options.linkSpeed.links.append(Link{});
    for (const double delayMs : *delays)
        options.linkSpeed.links.append({ true, delayMs });
    options.fleet = { roundCount, int(turnaroundMs->at(0)), {}, options.parts.contains(u"fleet"_s),
                      options.parts.contains(u"memory"_s) };
    for (const double count : counts->mid(2))
        options.fleet.devices.append(int(count));
    options.campaign = { int(counts->at(1)), options.servers };
    return options;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The platform wants a runtime directory; without one it warns.
    const QTemporaryDir runtimeDir;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    QGuiApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"Orvane"_s);
    QCoreApplication::setOrganizationDomain(u"orvane.com"_s);
    QCoreApplication::setApplicationName(u"SwTxUpdater"_s);
    // Library debug output would drown the figures; warnings still show.
    QLoggingCategory::setFilterRules(u"*.debug=false\n*.info=false"_s);
    // Figures carry thousands separators: 33,553,919.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    std::optional<Options> options = parseOptions(app);
    QTemporaryDir work;
    if (!options || !work.isValid()) {
        qCritical("bad use, or no temporary directory: see --help");
        return 2;
    }
    // The window saves the address it is given: into a store of our own, not
    // the user's.
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.filePath(u"settings"_s));

    const auto running = [&options](const QString &part) { return options->parts.contains(part); };
    const ChildRunner runner(work.path());
    QStringList failures = running(u"linkspeed"_s) ? missingPeers() : QStringList();
    // Link speed uploads to every server chosen, the window to tftpd-hpa; the
    // campaign starts servers of its own.
    QList<int> kinds = running(u"linkspeed"_s) ? options->servers : QList<int>();
    if (running(u"window"_s) && !kinds.contains(TftpdProcess::TftpdHpa))
        kinds.append(TftpdProcess::TftpdHpa);
    std::vector<std::unique_ptr<TftpdProcess>> servers;
    for (const int kind : kinds) {
        auto &server = servers.emplace_back(
                std::make_unique<TftpdProcess>(QHostAddress(QHostAddress::LocalHost), TftpdProcess::Server(kind)));
        if (!server->start())
            failures.append(u"cannot start %1: %2"_s.arg(serverNames.at(kind), server->errorString()));
        if (options->servers.contains(kind))
            options->linkSpeed.servers.append({ serverNames.at(kind), server.get(), kind == TftpdProcess::Atftpd });
    }
    if (!failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }

    print(u"# Benchmark\n"_s);
    print(u"%1 at the start.\n"_s.arg(machineLine()));
    if (running(u"linkspeed"_s))
        failures.append(compareLinkSpeeds(options->linkSpeed, runner, work.path()));
    if (running(u"window"_s))
        failures.append(measureWindow(*servers.at(size_t(kinds.indexOf(TftpdProcess::TftpdHpa))), work.path()));
    if (running(u"fleet"_s) || running(u"memory"_s))
        failures.append(runFleet(options->fleet, runner, work.path()));
    if (running(u"campaign"_s))
        failures.append(runCampaign(options->campaign, runner, work.path()));
    failures.removeAll(QString());
    print(u"Load average at the end: %1.\n"_s.arg(loadAverage()));
    printFailures(failures);
    return failures.isEmpty() ? 0 : 1;
}
