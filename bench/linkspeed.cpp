#include "bench/parts.h"

#include "bench/childrun.h"
#include "bench/firmware.h"
#include "bench/report.h"
#include "tests/support/tftpdprocess.h"
#include "tests/support/udprelay.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cmath>
#include <map>
#include <optional>
#include <tuple>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype imageSize = 8 << 20;
// Lock-step at 2 ms each way takes over a minute.
constexpr int uploadTimeoutMs = 600000;

enum class Program { Swtxupdate, TftpHpa, Curl, Atftp };
const QStringList programNames = { u"swtxupdate"_s, u"tftp"_s, u"curl"_s, u"atftp"_s };
const QStringList packages = { u"this project"_s, u"tftp-hpa"_s, u"curl"_s, u"atftp"_s };
const QStringList versionOptions = { u"--version"_s, u"-V"_s, u"--version"_s, u"--version"_s };

QString programPath(Program program)
{
    return program == Program::Swtxupdate ? swtxupdatePath()
                                          : QStandardPaths::findExecutable(programNames.at(int(program)));
}

// One way of uploading an image: a program, its options, and the block size
// and window it asks the server for.
struct ClientCase
{
    QString key; // as --cases names it
    QString label;
    Program program = Program::Swtxupdate;
    QStringList options;
    int blockSize = 512;
    int windowSize = 1;
};

QStringList atftpOptions(const QStringList &options)
{
    QStringList arguments;
    for (const QString &option : options)
        arguments << u"--option"_s << option;
    return arguments;
}

const QList<ClientCase> &clientCases()
{
    static const QList<ClientCase> cases = {
        { u"lockstep"_s, u"swtxupdate, lock-step"_s, Program::Swtxupdate, {}, 512, 1 },
        { u"fast"_s, u"swtxupdate --fast"_s, Program::Swtxupdate, { u"--fast"_s }, 1428, 16 },
        { u"w64"_s, u"swtxupdate --block-size 1428 --window 64"_s, Program::Swtxupdate,
          { u"--block-size"_s, u"1428"_s, u"--window"_s, u"64"_s }, 1428, 64 },
        { u"tftp"_s, u"tftp-hpa client"_s, Program::TftpHpa, {}, 512, 1 },
        { u"curl"_s, u"curl"_s, Program::Curl, {}, 512, 1 },
        { u"curl-1428"_s, u"curl --tftp-blksize 1428"_s, Program::Curl, { u"--tftp-blksize"_s, u"1428"_s }, 1428, 1 },
        { u"atftp"_s, u"atftp"_s, Program::Atftp, {}, 512, 1 },
        { u"atftp-1428"_s, u"atftp, blksize 1428"_s, Program::Atftp, atftpOptions({ u"blksize 1428"_s }), 1428, 1 },
        { u"atftp-w16"_s, u"atftp, blksize 1428, windowsize 16"_s, Program::Atftp,
          atftpOptions({ u"blksize 1428"_s, u"windowsize 16"_s }), 1428, 16 },
        { u"atftp-w64"_s, u"atftp, blksize 1428, windowsize 64"_s, Program::Atftp,
          atftpOptions({ u"blksize 1428"_s, u"windowsize 64"_s }), 1428, 64 },
    };
    return cases;
}

// The command line an engineer types to upload source to the server at
// 127.0.0.1:port: a file stored as remoteName or, for swtxupdate, a firmware
// folder, whose file names the server keeps.
QStringList command(const ClientCase &client, const QString &source, const QString &remoteName, quint16 port)
{
    const QString host = u"127.0.0.1"_s;
    const QString portText = QString::number(port);
    const QString path = programPath(client.program);
    switch (client.program) {
    case Program::Swtxupdate:
        return QStringList{ path, u"--quiet"_s } + client.options + QStringList{ source, host + u':' + portText };
    case Program::TftpHpa:
        return { path, u"-m"_s, u"binary"_s, host, portText, u"-c"_s, u"put"_s, source, remoteName };
    case Program::Curl:
        return QStringList{ path, u"-sS"_s } + client.options
                + QStringList{ u"-T"_s, source, u"tftp://%1:%2/%3"_s.arg(host, portText, remoteName) };
    case Program::Atftp:
        return QStringList{ path } + client.options
                + QStringList{ u"-p"_s, u"-l"_s, source, u"-r"_s, remoteName, host, portText };
    }
    return {};
}

QString seconds(std::optional<double> ms)
{
    return ms ? fixed(*ms / 1000, *ms < 10000 ? 3 : 1) : u"–"_s;
}

class Comparison
{
public:
    Comparison(const LinkSpeedSetup &setup, const ChildRunner &runner, const QString &workPath)
        : m_setup(setup)
        , m_runner(runner)
        , m_folder(workPath + u"/linkspeed"_s)
        , m_markerPath(workPath + u"/linkspeed-done"_s)
        , m_image(benchImage(imageSize))
    {
        for (const QString &key : setup.cases)
            m_cases.append(clientCases().at(linkSpeedCases().indexOf(key)));
        if (const QString failure = writeFirmwareFolder(m_folder, m_image); !failure.isEmpty())
            m_failures.append(failure);
        if (QFile marker(m_markerPath); !marker.open(QIODevice::WriteOnly | QIODevice::Truncate))
            m_failures.append(u"cannot write %1: %2"_s.arg(m_markerPath, marker.errorString()));
    }

    QStringList run()
    {
        if (!m_failures.isEmpty())
            return m_failures;
        const int uploads = m_setup.rounds * int(m_setup.links.size() * m_setup.servers.size() * m_cases.size());
        for (int round = 0; round < m_setup.rounds; ++round) {
            for (int link = 0; link < m_setup.links.size(); ++link) {
                for (int server = 0; server < m_setup.servers.size(); ++server) {
                    for (int client = 0; client < m_cases.size(); ++client)
                        uploadOnce({ client, server, link }, uploads);
                }
            }
        }
        print(u"## Link speed: %L1 bytes, medians of interleaved rounds (%2)\n"_s.arg(imageSize).arg(m_setup.rounds));
        // A program's start with no transfer, part of every wall time.
        QStringList startups;
        for (int program = 0; program < programNames.size(); ++program) {
            QList<double> wallMs;
            for (int i = 0; i < 5; ++i)
                wallMs.append(m_runner.run({ programPath(Program(program)), versionOptions.at(program) }, 10000).wallMs);
            startups.append(u"%1 %2 ms"_s.arg(programNames.at(program), fixed(median(wallMs), 1)));
        }
        print(u"Every client does the whole update, the image and then the empty \"done\" marker: swtxupdate in "
              "one run, each other client in two. Each run is a child process, timed from the spawn to the reaping. "
              "The clients' start with no transfer (median of 5 version queries): %1.\n"_s.arg(
                      startups.join(u", "_s)));
        for (int server = 0; server < m_setup.servers.size(); ++server)
            printServerTable(server);
        printTargets();
        return m_failures;
    }

private:
    using Key = std::tuple<int, int, int>; // case, server, link

    const ClientCase &client(const Key &key) const { return m_cases.at(std::get<0>(key)); }
    const BenchServer &server(const Key &key) const { return m_setup.servers.at(std::get<1>(key)); }
    const Link &link(const Key &key) const { return m_setup.links.at(std::get<2>(key)); }

    // One upload, through a relay of its own; the stored files are removed
    // before, so that a stale one cannot pass for a new one.
    void uploadOnce(const Key &key, int uploads)
    {
        const bool ours = client(key).program == Program::Swtxupdate;
        const TftpdProcess &tftpd = *server(key).process;
        const QString name = ours ? benchImageName : u"bench-%1.bin"_s.arg(client(key).key);
        QFile::remove(tftpd.filePath(name));
        QFile::remove(tftpd.filePath(benchMarkerName));
        std::optional<UdpRelay> relay;
        if (link(key).relayed) {
            relay.emplace(tftpd.address(), tftpd.port());
            relay->setDelay(std::chrono::microseconds(qRound(link(key).delayMs * 1000)));
            relay->listen();
        }
        const quint16 port = relay ? relay->port() : tftpd.port();
        ChildRun child = m_runner.run(
                command(client(key), ours ? m_folder : m_folder + u'/' + benchImageName, name, port), uploadTimeoutMs);
        // The peers send the marker in a run of their own, so that every
        // client is timed for the same work.
        if (!ours && child.failure.isEmpty()) {
            const ChildRun marker =
                    m_runner.run(command(client(key), m_markerPath, benchMarkerName, port), uploadTimeoutMs);
            child.failure = marker.failure;
            child.wallMs += marker.wallMs;
            child.cpuMs += marker.cpuMs;
        }
        QStringList problems = { child.failure, storedMismatch(tftpd, name, m_image),
                                 storedMismatch(tftpd, benchMarkerName, QByteArray("", 0)) };
        problems.removeAll(QString());
        const QString what = u"%1, %2, %3"_s.arg(link(key).name(), server(key).name, client(key).label);
        if (problems.isEmpty()) {
            m_wallMs[key].append(child.wallMs);
            m_cpuMs[key].append(child.cpuMs);
        } else {
            m_failures.append(u"%1: %2"_s.arg(what, problems.join(u"; "_s)));
        }
        progress(u"[%1/%2] %3: %4"_s.arg(++m_uploads)
                         .arg(uploads)
                         .arg(what, problems.isEmpty() ? seconds(child.wallMs) + u" s"_s : u"FAILED"_s));
    }

    // The median wall time of a case's successful runs.
    std::optional<double> wallMs(const Key &key) const
    {
        const auto runs = m_wallMs.find(key);
        return runs == m_wallMs.end() ? std::nullopt : std::optional(median(runs->second));
    }

    // Indexes in the setup; -1 or past the end when not there, where no
    // runs are found.
    int linkIndex(bool relayed, double delayMs) const { return int(m_setup.links.indexOf(Link{ relayed, delayMs })); }
    int caseIndex(const QString &key) const { return int(m_setup.cases.indexOf(key)); }

    // What the server accepts of what the case asks for: tftpd-hpa no window.
    int windowSize(const Key &key) const { return server(key).acceptsWindows ? client(key).windowSize : 1; }

    // The link's rate: the image over the fastest case's median through the
    // relay at 0 ms.
    std::optional<double> bytesPerMs(int server) const
    {
        std::optional<double> fastestMs;
        for (int client = 0; client < m_cases.size(); ++client) {
            if (const std::optional<double> wall = wallMs({ client, server, linkIndex(true, 0) }))
                fastestMs = std::min(fastestMs.value_or(*wall), *wall);
        }
        return fastestMs ? std::optional(imageSize / *fastestMs) : std::nullopt;
    }

    // A round trip for the request and for every window, plus the bytes at
    // the link's rate; the "done" marker takes two round trips more.
    std::optional<double> limitMs(const Key &key) const
    {
        const std::optional<double> rate = bytesPerMs(std::get<1>(key));
        const double blocks = double(imageSize / client(key).blockSize + 1);
        const double roundTrips = std::ceil(blocks / windowSize(key)) + 1 + 2;
        return rate ? std::optional(2 * link(key).delayMs * roundTrips + imageSize / *rate) : std::nullopt;
    }

    void printServerTable(int server)
    {
        const BenchServer &benchServer = m_setup.servers.at(server);
        const std::optional<double> rate = bytesPerMs(server);
        print(u"### %1 (%2)\n"_s.arg(benchServer.name, benchServer.process->arguments().join(u' ')));
        print(u"Link rate %1 MB/s: the fastest client's through the relay at 0 ms.\n"_s.arg(
                figure(rate.value_or(0) / 1000, 1, rate.has_value())));
        QStringList header = { u"Client"_s, u"Blocks × window"_s };
        for (const Link &link : m_setup.links)
            header.append(link.name() + (link.relayed ? u": wall / limit (s)"_s : u" (s)"_s));
        header << u"CPU (ms)"_s << u"Relay at 0 ms ÷ direct"_s;
        QList<QStringList> rows;
        for (int client = 0; client < m_cases.size(); ++client) {
            const ClientCase &uploader = m_cases.at(client);
            QStringList row = { uploader.label,
                                u"%1 × %2"_s.arg(uploader.blockSize).arg(windowSize({ client, server, 0 })) };
            for (int link = 0; link < m_setup.links.size(); ++link) {
                const Key key{ client, server, link };
                const qsizetype succeeded = m_wallMs.count(key) ? m_wallMs.at(key).size() : 0;
                QString cell = seconds(wallMs(key));
                if (succeeded < m_setup.rounds)
                    cell += u" (%1/%2 ran)"_s.arg(succeeded).arg(m_setup.rounds);
                row.append(m_setup.links.at(link).relayed ? cell + u" / "_s + seconds(limitMs(key)) : cell);
            }
            const std::optional<double> direct = wallMs({ client, server, linkIndex(false, 0) });
            const std::optional<double> relayed = wallMs({ client, server, linkIndex(true, 0) });
            const auto cpu = m_cpuMs.find({ client, server, linkIndex(false, 0) });
            row << figure(cpu == m_cpuMs.end() ? 0 : median(cpu->second), 0, cpu != m_cpuMs.end())
                << figure(direct && relayed ? *relayed / *direct : 0, 2, direct && relayed);
            rows.append(row);
        }
        printTable(header, rows);
    }

    void printTargets()
    {
        print(u"### Targets\n"_s);
        print(u"Ratios of wall times. Ours with the same options as atftp ≤ 1.00 × its time; lock-step no slower "
              "than today, compared with the tftp-hpa client as before (≤ 1.00); at 0.5 ms, --fast at least 25 × "
              "faster than our lock-step where the server accepts windows.\n"_s);
        const QList<std::pair<QString, QString>> pairs = { { u"lockstep"_s, u"atftp"_s },
                                                           { u"fast"_s, u"atftp-w16"_s },
                                                           { u"w64"_s, u"atftp-w64"_s },
                                                           { u"lockstep"_s, u"tftp"_s },
                                                           { u"lockstep"_s, u"fast"_s } };
        QList<QStringList> rows;
        int met = 0;
        int judgedCount = 0;
        for (int server = 0; server < m_setup.servers.size(); ++server) {
            for (int link = 0; link < m_setup.links.size(); ++link) {
                QStringList row = { m_setup.servers.at(server).name + u", "_s + m_setup.links.at(link).name() };
                for (const auto &[ours, theirs] : pairs) {
                    const std::optional<double> a = wallMs({ caseIndex(ours), server, link });
                    const std::optional<double> b = wallMs({ caseIndex(theirs), server, link });
                    const bool speedUp = theirs == u"fast"_s;
                    const bool judge = a && b
                            && (!speedUp
                                || (link == linkIndex(true, 0.5) && m_setup.servers.at(server).acceptsWindows));
                    const bool good = a && b && (speedUp ? *a / *b >= 25 : *a / *b <= 1);
                    judgedCount += judge ? 1 : 0;
                    met += judge && good ? 1 : 0;
                    row.append(!a || !b ? u"–"_s : judge ? judged(*a / *b, good) : fixed(*a / *b, 2));
                }
                rows.append(row);
            }
        }
        printTable({ u"Server, link"_s, u"lock-step ÷ atftp"_s, u"--fast ÷ atftp w16"_s, u"w64 ÷ atftp w64"_s,
                     u"lock-step ÷ tftp-hpa"_s, u"lock-step ÷ --fast"_s },
                   rows);
        print(u"Targets met: %1 of %2.\n"_s.arg(met).arg(judgedCount));
    }

    const LinkSpeedSetup &m_setup;
    const ChildRunner &m_runner;
    QList<ClientCase> m_cases;
    QString m_folder; // holds the image alone, for swtxupdate; the peers upload the same file
    QString m_markerPath; // an empty file, which the peers upload as "done"
    QByteArray m_image;
    std::map<Key, QList<double>> m_wallMs; // of the runs that stored the image exactly
    std::map<Key, QList<double>> m_cpuMs;
    int m_uploads = 0;
    QStringList m_failures;
};

} // namespace

QString Link::name() const
{
    return relayed ? u"%1 ms"_s.arg(delayMs) : u"direct"_s;
}

QStringList linkSpeedCases()
{
    QStringList keys;
    for (const ClientCase &client : clientCases())
        keys.append(client.key);
    return keys;
}

QStringList missingPeers()
{
    QStringList missing;
    for (const Program program : { Program::TftpHpa, Program::Curl, Program::Atftp }) {
        if (!QFileInfo(programPath(program)).isExecutable())
            missing.append(u"%1 is not there (%2)"_s.arg(programNames.at(int(program)), packages.at(int(program))));
    }
    return missing;
}

QStringList compareLinkSpeeds(const LinkSpeedSetup &setup, const ChildRunner &runner, const QString &workPath)
{
    return Comparison(setup, runner, workPath).run();
}
