#include "bench/parts.h"

#include "bench/childrun.h"
#include "bench/report.h"
#include "tests/support/tftpdprocess.h"
#include "tests/support/udprelay.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

// One way of uploading an image: the command line an engineer types, and the
// block size and window it asks the server for. In the command, SOURCE stands
// for the image or, for swtxupdate, its firmware folder, whose file names the
// server keeps; NAME for the name to store it under, and PORT for the
// server's.
struct ClientCase
{
    QString key; // as --cases names it
    QString label;
    QString command;
    int blockSize = 512;
    int windowSize = 1;
};

const QList<ClientCase> &clientCases()
{
    static const QList<ClientCase> cases = {
        { u"lockstep"_s, u"swtxupdate, lock-step"_s, u"swtxupdate --quiet SOURCE 127.0.0.1:PORT"_s, 512, 1 },
        { u"fast"_s, u"swtxupdate --fast"_s, u"swtxupdate --fast --quiet SOURCE 127.0.0.1:PORT"_s, 1428, 16 },
        { u"w64"_s, u"swtxupdate --block-size 1428 --window 64"_s,
          u"swtxupdate --block-size 1428 --window 64 --quiet SOURCE 127.0.0.1:PORT"_s, 1428, 64 },
        { u"tftp"_s, u"tftp-hpa client"_s, u"tftp -m binary 127.0.0.1 PORT -c put SOURCE NAME"_s, 512, 1 },
        { u"curl"_s, u"curl"_s, u"curl -sS -T SOURCE tftp://127.0.0.1:PORT/NAME"_s, 512, 1 },
        { u"curl-1428"_s, u"curl --tftp-blksize 1428"_s,
          u"curl -sS --tftp-blksize 1428 -T SOURCE tftp://127.0.0.1:PORT/NAME"_s, 1428, 1 },
        { u"atftp"_s, u"atftp"_s, u"atftp -p -l SOURCE -r NAME 127.0.0.1 PORT"_s, 512, 1 },
        { u"atftp-1428"_s, u"atftp, blksize 1428"_s,
          u"atftp --option \"blksize 1428\" -p -l SOURCE -r NAME 127.0.0.1 PORT"_s, 1428, 1 },
        { u"atftp-w16"_s, u"atftp, blksize 1428, windowsize 16"_s,
          u"atftp --option \"blksize 1428\" --option \"windowsize 16\" -p -l SOURCE -r NAME 127.0.0.1 PORT"_s, 1428, 16 },
        { u"atftp-w64"_s, u"atftp, blksize 1428, windowsize 64"_s,
          u"atftp --option \"blksize 1428\" --option \"windowsize 64\" -p -l SOURCE -r NAME 127.0.0.1 PORT"_s, 1428, 64 },
    };
    return cases;
}

// The peers' programs.
const QStringList peers = { u"tftp"_s, u"curl"_s, u"atftp"_s };

QString programPath(const QString &name)
{
    return name == u"swtxupdate"_s ? swtxupdatePath() : QStandardPaths::findExecutable(name);
}

QStringList command(const ClientCase &client, const QString &source, const QString &name, quint16 port)
{
    QStringList command = QProcess::splitCommand(client.command);
    command.first() = programPath(command.first());
    return command.replaceInStrings(u"SOURCE"_s, source)
            .replaceInStrings(u"NAME"_s, name)
            .replaceInStrings(u"PORT"_s, QString::number(port));
}

QString seconds(double ms)
{
    return ms > 0 ? fixed(ms / 1000, ms < 10000 ? 3 : 1) : u"–"_s;
}

class Comparison
{
public:
    Comparison(const LinkSpeedSetup &setup, const QString &workPath)
        : m_setup(setup)
        , m_folder(workPath + u"/linkspeed"_s)
        , m_markerPath(workPath + u"/linkspeed-done"_s)
        , m_image(benchImage(imageSize))
    {
        for (const QString &key : setup.cases)
            m_cases.append(clientCases().at(linkSpeedCases().indexOf(key)));
        m_failures.append(writeFirmwareFolder(m_folder, m_image));
        if (QFile marker(m_markerPath); !marker.open(QIODevice::WriteOnly | QIODevice::Truncate))
            m_failures.append(u"cannot write %1: %2"_s.arg(m_markerPath, marker.errorString()));
        m_failures.removeAll(QString());
    }

    QStringList run()
    {
        const int uploads = m_setup.rounds * int(m_setup.links.size() * m_setup.servers.size() * m_cases.size());
        for (int round = 0; round < m_setup.rounds && m_failures.isEmpty(); ++round) {
            for (int link = 0; link < m_setup.links.size(); ++link) {
                for (int server = 0; server < m_setup.servers.size(); ++server) {
                    for (int client = 0; client < m_cases.size(); ++client)
                        uploadOnce({ client, server, link }, uploads);
                }
            }
        }
        print(u"## Link speed: %L1 bytes, medians of %2 interleaved rounds\n"_s.arg(imageSize).arg(m_setup.rounds));
        print(u"Every client does the whole update, the image and then the empty \"done\" marker: swtxupdate in "
              "one run, each other client in two. Each run is a child process, timed in seconds from the spawn to "
              "the reaping; a case that did not succeed in every round says how often it did.\n"_s);
        for (int server = 0; server < m_setup.servers.size(); ++server)
            printServerTable(server);
        printTargets();
        return m_failures;
    }

private:
    using Key = std::tuple<int, int, int>; // case, server, link

    // One upload, through a relay of its own; the stored files are removed
    // before, so that a stale one cannot pass for a new one.
    void uploadOnce(const Key &key, int uploads)
    {
        const auto [client, server, link] = key;
        const ClientCase &uploader = m_cases.at(client);
        const TftpdProcess &tftpd = *m_setup.servers.at(server).process;
        const bool ours = uploader.command.startsWith(u"swtxupdate "_s);
        const QString name = ours ? benchImageName : u"bench-%1.bin"_s.arg(uploader.key);
        QFile::remove(tftpd.filePath(name));
        QFile::remove(tftpd.filePath(benchMarkerName));
        std::optional<UdpRelay> relay;
        if (m_setup.links.at(link).relayed) {
            relay.emplace(tftpd.address(), tftpd.port());
            relay->setDelay(std::chrono::microseconds(qRound(m_setup.links.at(link).delayMs * 1000)));
            relay->listen();
        }
        const quint16 port = relay ? relay->port() : tftpd.port();
        ChildRun child = runChild(
                command(uploader, ours ? m_folder : m_folder + u'/' + benchImageName, name, port), uploadTimeoutMs);
        // The peers send the marker in a run of their own, so that every
        // client is timed for the same work.
        if (!ours && child.failure.isEmpty()) {
            const ChildRun marker = runChild(command(uploader, m_markerPath, benchMarkerName, port), uploadTimeoutMs);
            child.failure = marker.failure;
            child.wallMs += marker.wallMs;
        }
        QStringList problems = { child.failure, storedMismatch(tftpd, name, m_image),
                                 storedMismatch(tftpd, benchMarkerName, QByteArray("", 0)) };
        problems.removeAll(QString());
        const QString what =
                u"%1, %2, %3"_s.arg(m_setup.links.at(link).name(), m_setup.servers.at(server).name, uploader.label);
        if (problems.isEmpty())
            m_wallMs[key].append(child.wallMs);
        else
            m_failures.append(u"%1: %2"_s.arg(what, problems.join(u"; "_s)));
        progress(u"[%1/%2] %3: %4"_s.arg(++m_uploads)
                         .arg(uploads)
                         .arg(what, problems.isEmpty() ? seconds(child.wallMs) + u" s"_s : u"FAILED"_s));
    }

    // The median wall time of a case's successful runs; 0 for none, also for
    // a case or link not in the setup.
    double wallMs(const QString &key, int server, int link) const
    {
        const auto runs = m_wallMs.find({ int(m_setup.cases.indexOf(key)), server, link });
        return runs == m_wallMs.end() ? 0 : median(runs->second);
    }

    void printServerTable(int server)
    {
        const BenchServer &tftpd = m_setup.servers.at(server);
        print(u"### %1 (%2)\n"_s.arg(tftpd.name, tftpd.process->arguments().join(u' ')));
        QStringList header = { u"Client"_s, u"Blocks × window"_s };
        for (const Link &link : m_setup.links)
            header.append(link.name());
        QList<QStringList> rows;
        for (const ClientCase &uploader : std::as_const(m_cases)) {
            // What the server accepts of what the case asks for: tftpd-hpa no window.
            QStringList row = { uploader.label, u"%1 × %2"_s.arg(uploader.blockSize)
                                                        .arg(tftpd.acceptsWindows ? uploader.windowSize : 1) };
            for (int link = 0; link < m_setup.links.size(); ++link) {
                const auto runs = m_wallMs.find({ int(m_setup.cases.indexOf(uploader.key)), server, link });
                const qsizetype succeeded = runs == m_wallMs.end() ? 0 : runs->second.size();
                row.append(seconds(wallMs(uploader.key, server, link))
                           + (succeeded < m_setup.rounds ? u" (%1/%2)"_s.arg(succeeded).arg(m_setup.rounds)
                                                         : QString()));
            }
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
        const qsizetype halfMs = m_setup.links.indexOf(Link{ true, 0.5 });
        QList<QStringList> rows;
        int met = 0;
        int judgedCount = 0;
        for (int server = 0; server < m_setup.servers.size(); ++server) {
            for (int link = 0; link < m_setup.links.size(); ++link) {
                QStringList row = { m_setup.servers.at(server).name + u", "_s + m_setup.links.at(link).name() };
                for (const auto &[ours, theirs] : pairs) {
                    const double ratio = wallMs(ours, server, link) / wallMs(theirs, server, link);
                    const bool speedUp = theirs == u"fast"_s;
                    const bool judge = !speedUp || (link == halfMs && m_setup.servers.at(server).acceptsWindows);
                    const bool good = speedUp ? ratio >= 25 : ratio <= 1;
                    const bool measured = std::isfinite(ratio) && ratio > 0;
                    judgedCount += measured && judge ? 1 : 0;
                    met += measured && judge && good ? 1 : 0;
                    row.append(!measured ? u"–"_s : judge ? judged(ratio, good) : fixed(ratio, 2));
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
    QList<ClientCase> m_cases;
    QString m_folder; // holds the image alone, for swtxupdate; the peers upload the same file
    QString m_markerPath; // an empty file, which the peers upload as "done"
    QByteArray m_image;
    std::map<Key, QList<double>> m_wallMs; // of the runs that stored the image exactly
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
    for (const QString &program : peers) {
        if (!QFileInfo(programPath(program)).isExecutable())
            missing.append(u"%1 is not installed"_s.arg(program));
    }
    return missing;
}

QStringList compareLinkSpeeds(const LinkSpeedSetup &setup, const QString &workPath)
{
    return Comparison(setup, workPath).run();
}
