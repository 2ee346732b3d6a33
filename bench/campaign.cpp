#include "bench/parts.h"

#include "bench/childrun.h"
#include "bench/report.h"
#include "tests/support/tftpdprocess.h"
#include "tests/support/udprelay.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// 129 blocks and the marker: room for acknowledgements of blocks well behind
// the current one.
constexpr qsizetype imageSize = 64 << 10;
// swtxupdate updates this many devices at once, each a server of its own
// behind a relay of its own, so that a campaign takes minutes, not hours.
constexpr int devicesPerRun = 10;
// Past the longest a run can take: waits of 0.3 to 9.6 s for a packet, only
// a few of them for any device.
constexpr int runTimeoutMs = 600000;

struct Impairment
{
    QString name;
    int lossPercent = 0;
    int duplicatePercent = 0;
    int reorderPercent = 0;
};

const QList<Impairment> impairments = { { u"5 % loss"_s, 5, 0, 0 },
                                        { u"5 % loss, 1 % duplication, 5 % reordering"_s, 5, 1, 5 } };

// How the updates to one server through one impairment went.
struct Tally
{
    int updates = 0;
    int delivered = 0;
    int falseSuccesses = 0;
    QMap<QString, int> failures; // by status and where
};

class Campaign
{
public:
    explicit Campaign(const QString &workPath)
        : m_folder(workPath + u"/campaign"_s)
        , m_logPath(workPath + u"/campaign.jsonl"_s)
        , m_image(benchImage(imageSize))
    {
        m_failures.append(writeFirmwareFolder(m_folder, m_image));
        m_failures.removeAll(QString());
    }

    QStringList run(int updatesPerLink)
    {
        QList<QStringList> rows;
        bool targetsMet = true;
        for (const auto kind : { TftpdProcess::TftpdHpa, TftpdProcess::Atftpd }) {
            const QString server = kind == TftpdProcess::Atftpd ? u"atftpd"_s : u"tftpd-hpa"_s;
            for (qsizetype link = 0; link < impairments.size() && startServers(kind); ++link) {
                Tally tally;
                for (int first = 0; first < updatesPerLink && m_failures.isEmpty(); first += devicesPerRun)
                    runOnce(impairments.at(link), quint32(link * 1000000 + first),
                            std::min(devicesPerRun, updatesPerLink - first), tally);
                QStringList failures;
                for (auto failure = tally.failures.cbegin(); failure != tally.failures.cend(); ++failure)
                    failures.append(u"%1 × %2"_s.arg(failure.value()).arg(failure.key()));
                // The delivery target is for loss alone.
                const bool enough = link > 0 || tally.delivered * 100 >= 99 * tally.updates;
                targetsMet = targetsMet && enough && tally.falseSuccesses == 0;
                const QString delivered = u"%1/%2"_s.arg(tally.delivered).arg(tally.updates);
                rows.append({ server, impairments.at(link).name, enough ? delivered : u"**%1**"_s.arg(delivered),
                              tally.falseSuccesses ? u"**%1**"_s.arg(tally.falseSuccesses) : u"0"_s,
                              failures.isEmpty() ? u"–"_s : failures.join(u"; "_s) });
            }
        }
        print(u"## Resilient mode under loss, duplication and reordering\n"_s);
        print(u"swtxupdate --retries 5 --timeout 300, lock-step, a %L1-byte image and the \"done\" marker, to %2 "
              "devices at once, each a server of its own behind the relay at 0 ms; a duplicated or held-back "
              "datagram arrives 1 ms late. Targets: at least 99 of 100 delivered at 5 % loss against each "
              "server, and no false success (reported delivered, yet other bytes stored).\n"_s.arg(imageSize)
                      .arg(devicesPerRun));
        printTable({ u"Server"_s, u"Link"_s, u"Delivered"_s, u"False successes"_s, u"Failures: status (where)"_s },
                   rows);
        print(u"Targets %1.\n"_s.arg(targetsMet ? u"met"_s : u"**missed**"_s));
        return m_failures + m_falseSuccesses;
    }

private:
    // A fresh set of servers for each link, so that a server still busy with
    // a failed upload cannot touch the next one's.
    bool startServers(TftpdProcess::Server kind)
    {
        m_servers.clear();
        for (int i = 0; i < devicesPerRun && m_failures.isEmpty(); ++i) {
            auto &server = m_servers.emplace_back(
                    std::make_unique<TftpdProcess>(QHostAddress(QHostAddress::LocalHost), kind));
            if (!server->start())
                m_failures.append(u"cannot start a server: "_s + server->errorString());
        }
        return m_failures.isEmpty();
    }

    // One swtxupdate run to a number of devices, each behind a relay seeded
    // apart. A false success is a file whose record says delivered while the
    // server stored other bytes; a failure is counted with where it happened:
    // on the marker, or on the image, which a lost last acknowledgement leaves
    // stored whole.
    void runOnce(const Impairment &link, quint32 seed, int devices, Tally &tally)
    {
        std::vector<std::unique_ptr<UdpRelay>> relays;
        QStringList command = { swtxupdatePath(), u"--quiet"_s, u"--retries"_s, u"5"_s, u"--timeout"_s, u"300"_s,
                                u"--log"_s, m_logPath, m_folder };
        for (int i = 0; i < devices; ++i) {
            QFile::remove(m_servers.at(i)->filePath(benchImageName));
            QFile::remove(m_servers.at(i)->filePath(benchMarkerName));
            auto &relay = relays.emplace_back(
                    std::make_unique<UdpRelay>(m_servers.at(i)->address(), m_servers.at(i)->port()));
            relay->setLoss(link.lossPercent, seed + quint32(i));
            relay->setDuplication(link.duplicatePercent);
            relay->setReordering(link.reorderPercent);
            relay->listen();
            command.append(u"127.0.0.1:%1"_s.arg(relay->port()));
        }
        QFile::remove(m_logPath);
        const ChildRun child = runChild(command, runTimeoutMs);
        // Exit status 1 says that a device failed, which the log tells.
        if (child.exitCode != 0 && child.exitCode != 1) {
            m_failures.append(child.failure);
            return;
        }
        QHash<QString, QJsonObject> results; // each device's record, and each "device file" record
        QFile log(m_logPath);
        for (const QByteArray &line : log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QByteArrayList()) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const QString file = record.value(u"file"_s).toString();
            results.insert(record.value(u"device"_s).toString() + (file.isEmpty() ? QString() : u' ' + file), record);
        }
        for (int i = 0; i < devices; ++i) {
            const TftpdProcess &server = *m_servers.at(i);
            const QString device = command.at(command.size() - devices + i);
            const QJsonObject record = results.value(device);
            ++tally.updates;
            if (record.value(u"result"_s).toBool()) {
                ++tally.delivered;
            } else {
                const QString where = results.contains(device + u' ' + benchMarkerName) ? u"on the marker"_s
                        : storedMismatch(server, benchImageName, m_image).isEmpty()    ? u"on the image, stored whole"_s
                                                                                      : u"on the image"_s;
                ++tally.failures[u"%1 (%2)"_s.arg(record.value(u"status"_s).toString(u"no record"_s), where)];
            }
            for (const auto &[name, bytes] :
                 { std::pair(benchImageName, m_image), std::pair(benchMarkerName, QByteArray("", 0)) }) {
                const bool reported = results.value(device + u' ' + name).value(u"result"_s).toBool();
                const QString mismatch = reported ? storedMismatch(server, name, bytes) : QString();
                if (!mismatch.isEmpty()) {
                    ++tally.falseSuccesses;
                    m_falseSuccesses.append(u"false success, %1: %2"_s.arg(link.name, mismatch));
                }
            }
        }
        progress(u"%1: %2 of %3 delivered so far"_s.arg(link.name).arg(tally.delivered).arg(tally.updates));
    }

    QString m_folder;
    QString m_logPath;
    QByteArray m_image;
    std::vector<std::unique_ptr<TftpdProcess>> m_servers;
    QStringList m_failures; // the campaign cannot go on
    QStringList m_falseSuccesses;
};

} // namespace

QStringList runCampaign(int uploadsPerLink, const QString &workPath)
{
    return Campaign(workPath).run(uploadsPerLink);
}
