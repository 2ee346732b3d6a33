// The benchmark: the real swtxupdate program and the window measured on
// loopback, against their peers in the same run. --parts chooses among link
// speed, the window, the fleet, memory and the resilient-mode campaign (see
// parts.h). It prints figures as Markdown and whether the targets were met,
// and judges nothing by speed. Exit status: 0 when every upload succeeded with
// byte-identical files (in the campaign: no false success), 1 when one did
// not, 2 when the benchmark cannot run here.

#include "bench/childrun.h"
#include "bench/parts.h"
#include "bench/report.h"
#include "controller/identity.h"
#include "tests/support/tftpdprocess.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QStringList partNames = { u"linkspeed"_s, u"window"_s, u"fleet"_s, u"memory"_s, u"campaign"_s };

struct Options
{
    QStringList parts;
    LinkSpeedSetup linkSpeed;
    FleetSetup fleet;
    int campaignUploads = 100;
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
    return std::all_of(names.cbegin(), names.cend(), [&known](const QString &name) { return known.contains(name); })
            ? std::optional(names)
            : std::nullopt;
}

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Measures swtxupdate and the window against their peers on loopback. Needs root, tftpd-hpa, atftpd (or "
            "its program in .peers/), tftp-hpa, curl and atftp. Exit status: 0 every upload byte-identical, 1 an "
            "upload failed or a stored file differs, 2 cannot run."_s);
    parser.addHelpOption();
    const QCommandLineOption parts(u"parts"_s, u"Parts, of %1 (default all but campaign)."_s.arg(partNames.join(u',')),
                                   u"list"_s, partNames.mid(0, 4).join(u','));
    const QCommandLineOption rounds(u"rounds"_s, u"Interleaved rounds, at least 1 (default 3)."_s, u"count"_s, u"3"_s);
    const QCommandLineOption links(u"links"_s, u"Link speed: direct, or the one-way delay in ms (default "
                                               "direct,0,0.5,2)."_s, u"list"_s, u"direct,0,0.5,2"_s);
    const QCommandLineOption cases(u"cases"_s, u"Link speed: clients (default %1)."_s.arg(linkSpeedCases().join(u',')),
                                   u"list"_s, linkSpeedCases().join(u','));
    const QCommandLineOption devices(u"devices"_s, u"Fleet: device counts (default 1,4,8,16)."_s, u"list"_s,
                                     u"1,4,8,16"_s);
    const QCommandLineOption turnaround(u"turnaround"_s, u"Fleet and memory: the devices' delay before each ACK "
                                                         "(default 2 ms)."_s, u"ms"_s, u"2"_s);
    const QCommandLineOption uploads(u"uploads"_s, u"Campaign: uploads per server and link (default 100)."_s,
                                     u"count"_s, u"100"_s);
    parser.addOptions({ parts, rounds, links, cases, devices, turnaround, uploads });
    parser.process(app);

    QStringList linkItems = parser.value(links).split(u',');
    const bool direct = linkItems.removeAll(u"direct"_s) > 0;
    const std::optional<QList<double>> delays = parseNumbers(linkItems.join(u',') + u',' + parser.value(turnaround), 0);
    const std::optional<QList<double>> counts =
            parseNumbers(QStringList{ parser.value(rounds), parser.value(uploads), parser.value(devices) }.join(u','), 1);
    const std::optional<QStringList> partList = parseNames(parser.value(parts), partNames);
    const std::optional<QStringList> caseList = parseNames(parser.value(cases), linkSpeedCases());
    if (!delays || delays->isEmpty() || !counts || counts->size() < 3 || !partList || !caseList)
        return std::nullopt;
    Options options{ *partList, { int(counts->at(0)), {}, {}, *caseList }, {}, int(counts->at(1)) };
    if (direct)
        options.linkSpeed.links.append(Link{});
    for (const double delayMs : delays->first(delays->size() - 1))
        options.linkSpeed.links.append({ true, delayMs });
    options.fleet = { int(counts->at(0)), int(delays->constLast()), {}, partList->contains(u"fleet"_s),
                      partList->contains(u"memory"_s) };
    for (const double count : counts->mid(2))
        options.fleet.devices.append(int(count));
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
    Identity::apply(QString::fromLatin1(Identity::windowName));
    // Library debug output would drown the figures; warnings still show.
    QLoggingCategory::setFilterRules(u"*.debug=false\n*.info=false"_s);
    // Figures carry thousands separators: 33,553,919.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    std::optional<Options> options = parseOptions(app);
    QTemporaryDir work;
    // A home of our own, also the clients': the window saves the address it
    // is given, and swtxupdate reads what the window saved.
    const QString home = work.filePath(u"home"_s);
    if (!options || !work.isValid() || !QDir().mkpath(home + u"/.config"_s)) {
        qCritical("bad use, or no temporary directory: see --help");
        return 2;
    }
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + u"/.config"_s));

    const auto running = [&options](const QString &part) { return options->parts.contains(part); };
    QStringList failures = running(u"linkspeed"_s) ? missingPeers() : QStringList();
    // Link speed uploads to both servers, the window to tftpd-hpa; the
    // campaign starts servers of its own.
    TftpdProcess tftpdHpa(QHostAddress(QHostAddress::LocalHost), TftpdProcess::TftpdHpa);
    TftpdProcess atftpd(QHostAddress(QHostAddress::LocalHost), TftpdProcess::Atftpd);
    for (TftpdProcess *server : { &tftpdHpa, &atftpd }) {
        if ((running(u"linkspeed"_s) || (running(u"window"_s) && server == &tftpdHpa)) && !server->start())
            failures.append(u"cannot start a server: "_s + server->errorString());
    }
    if (!failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }
    options->linkSpeed.servers = { { u"tftpd-hpa"_s, &tftpdHpa, false }, { u"atftpd"_s, &atftpd, true } };

    print(u"# Benchmark\n"_s);
    print(u"%1 at the start.\n"_s.arg(machineLine()));
    if (running(u"linkspeed"_s))
        failures.append(compareLinkSpeeds(options->linkSpeed, work.path()));
    if (running(u"window"_s))
        failures.append(measureWindow(tftpdHpa, work.path()));
    if (running(u"fleet"_s) || running(u"memory"_s))
        failures.append(runFleet(options->fleet, work.path()));
    if (running(u"campaign"_s))
        failures.append(runCampaign(options->campaignUploads, work.path()));
    failures.removeAll(QString());
    print(u"Load average at the end: %1.\n"_s.arg(loadAverage()));
    printFailures(failures);
    return failures.isEmpty() ? 0 : 1;
}
