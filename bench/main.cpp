// Upload benchmark, against tftpd-hpa and atftpd on loopback ports, started
// here:
//
//  1. Link speed: an 8 MiB image uploaded by swtxupdate (lock-step, --fast,
//     and a window of 64), the tftp-hpa client, curl and atftp, with the
//     options each offers, directly and through a relay that adds 0, 0.5 and
//     2 ms each way, interleaved over a number of rounds; every stored file is
//     compared byte for byte. The relay's own cost shows at 0 ms.
//  2. Responsiveness: the real window uploads the largest image (65,535
//     blocks) from a folder, started by its Start button, while a 1 ms timer
//     on the GUI thread records how late it fires.
//
// With --campaign it runs instead resilient mode through a lossy, duplicating
// and reordering relay, a hundred uploads to each server.
//
// It prints figures and whether the targets were met, and judges nothing by
// speed. Exit status: 0 when every upload succeeded with byte-identical files
// (in the campaign: no false success), 1 when one did not, 2 when the
// benchmark cannot run here.

#include "bench/campaign.h"
#include "bench/clients.h"
#include "bench/linkspeed.h"
#include "bench/report.h"
#include "bench/windowstall.h"
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

const QStringList serverNames = { u"tftpd-hpa"_s, u"atftpd"_s }; // in the order of TftpdProcess::Server

struct Options
{
    LinkSpeedSetup linkSpeed;
    QList<int> servers; // in the order of TftpdProcess::Server
    bool window = true;
    bool campaign = false;
    int uploads = 100;
};

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Uploads an 8 MiB image to tftpd-hpa and atftpd on loopback with swtxupdate, the tftp-hpa client, "
            "curl and atftp, directly and through a relay that delays each way, then measures the window's "
            "responsiveness during the largest upload. Needs root, tftpd-hpa, atftpd (or its program in .peers/), "
            "tftp-hpa, curl and atftp. Exit status: 0 all uploads byte-identical, 1 an upload failed or a stored "
            "file differs, 2 cannot run."_s);
    parser.addHelpOption();
    QStringList caseKeys;
    for (const ClientCase &client : clientCases())
        caseKeys.append(client.key);
    const QCommandLineOption rounds(u"rounds"_s, u"Interleaved rounds, at least 1 (default 3)."_s, u"count"_s, u"3"_s);
    const QCommandLineOption links(u"links"_s, u"Links: direct, or the one-way delay in ms (default direct,0,0.5,2)."_s,
                                   u"list"_s, u"direct,0,0.5,2"_s);
    const QCommandLineOption servers(u"servers"_s, u"Servers (default tftpd-hpa,atftpd)."_s, u"list"_s,
                                     serverNames.join(u','));
    const QCommandLineOption cases(u"cases"_s, u"Clients (default %1)."_s.arg(caseKeys.join(u',')), u"list"_s,
                                   caseKeys.join(u','));
    const QCommandLineOption noWindow(u"no-window"_s, u"Skip the window's measurement."_s);
    const QCommandLineOption campaign(u"campaign"_s, u"Run only the resilient-mode campaign."_s);
    const QCommandLineOption uploads(u"uploads"_s, u"Campaign uploads per server and link (default 100)."_s, u"count"_s,
                                     u"100"_s);
    parser.addOptions({ rounds, links, servers, cases, noWindow, campaign, uploads });
    parser.process(app);

    QStringList linkItems = parser.value(links).split(u',');
    const bool direct = linkItems.removeAll(u"direct"_s) > 0;
    const std::optional<QList<double>> delays = parseNumbers(linkItems.join(u','), 0);
    const std::optional<QList<double>> counts = parseNumbers(parser.value(rounds) + u',' + parser.value(uploads), 1);
    const std::optional<QList<int>> serverIndexes = parseNames(parser.value(servers), serverNames);
    const std::optional<QList<int>> caseIndexes = parseNames(parser.value(cases), caseKeys);
    if (!delays || !counts || !serverIndexes || !caseIndexes)
        return std::nullopt;
    Options options{ { int(counts->at(0)), {}, {}, {} },
                     *serverIndexes,
                     !parser.isSet(noWindow),
                     parser.isSet(campaign),
                     int(counts->at(1)) };
    if (direct)
        options.linkSpeed.links.append(Link{});
    for (const double delayMs : *delays)
        options.linkSpeed.links.append({ true, delayMs });
    for (const int index : *caseIndexes)
        options.linkSpeed.cases.append(clientCases().at(index));
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

    const Clients clients(work.path());
    QStringList failures = clients.missing(
            options->campaign ? QList{ Program::Swtxupdate }
                              : QList{ Program::Swtxupdate, Program::TftpHpa, Program::Curl, Program::Atftp });
    // The campaign starts servers of its own, one for each device.
    std::vector<std::unique_ptr<TftpdProcess>> servers;
    for (const int kind : options->campaign ? QList<int>() : options->servers) {
        auto &server = servers.emplace_back(
                std::make_unique<TftpdProcess>(QHostAddress(QHostAddress::LocalHost), TftpdProcess::Server(kind)));
        if (!server->start())
            failures.append(u"cannot start %1: %2"_s.arg(serverNames.at(kind), server->errorString()));
        options->linkSpeed.servers.append({ serverNames.at(kind), server.get(), kind == TftpdProcess::Atftpd });
    }
    if (!failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }

    print(u"# Upload benchmark\n"_s);
    print(u"%1 at the start.\n"_s.arg(machineLine()));
    if (options->campaign) {
        failures = runCampaign({ options->uploads, options->servers }, clients, work.path());
    } else {
        failures = compareLinkSpeeds(options->linkSpeed, clients, work.path());
        if (const qsizetype tftpdHpa = options->servers.indexOf(TftpdProcess::TftpdHpa);
            options->window && tftpdHpa >= 0)
            failures.append(measureWindow(*servers.at(size_t(tftpdHpa)), work.path()));
        failures.removeAll(QString());
    }
    print(u"Load average at the end: %1.\n"_s.arg(loadAverage()));
    printFailures(failures);
    return failures.isEmpty() ? 0 : 1;
}
