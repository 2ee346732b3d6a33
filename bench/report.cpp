#include "bench/report.h"

#include "bench/median.h"
#include "bench/peerclients.h"
#include "bench/windowstall.h"
#include "tftpdprocess.h"

#include <QFile>
#include <QGuiApplication>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

void print(const QString &line = {})
{
    static QTextStream out(stdout);
    out << line << Qt::endl;
}

QString fixed(double value, int decimals)
{
    return u"%L1"_s.arg(value, 0, 'f', decimals);
}

// In the order of Client.
const QStringList clientNames = { u"ours (putByteArray)"_s, u"tftp-hpa client"_s, u"curl"_s };

// The smallest value that at least fraction of the values do not exceed.
double percentile(QList<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = qsizetype(std::ceil(fraction * double(values.size())));
    return values.at(std::clamp<qsizetype>(rank, 1, values.size()) - 1);
}

// Medians and wall range over a series' successful uploads.
struct Summary
{
    int succeeded = 0;
    double wallMs = 0;
    double minWallMs = 0;
    double maxWallMs = 0;
    double cpuMs = 0;
    double wallUsPerBlock = 0;
    double cpuUsPerBlock = 0;
};

Summary summarize(const Series &series)
{
    QList<double> wallMs;
    QList<double> cpuMs;
    for (const Upload &upload : series.uploads) {
        if (upload.failure.isEmpty()) {
            wallMs.append(upload.wallMs);
            cpuMs.append(upload.cpuMs);
        }
    }
    Summary summary;
    summary.succeeded = int(wallMs.size());
    if (wallMs.isEmpty())
        return summary;
    const auto [minWall, maxWall] = std::minmax_element(wallMs.cbegin(), wallMs.cend());
    summary.minWallMs = *minWall;
    summary.maxWallMs = *maxWall;
    summary.wallMs = median(wallMs);
    summary.cpuMs = median(cpuMs);
    summary.wallUsPerBlock = summary.wallMs * 1000 / double(blockCount(series.imageSize));
    summary.cpuUsPerBlock = summary.cpuMs * 1000 / double(blockCount(series.imageSize));
    return summary;
}

// The index of the peer with the least wall time per block; 0 (ours) when no
// peer succeeded.
qsizetype fastestPeer(const QList<Summary> &summaries)
{
    qsizetype fastest = 0;
    for (qsizetype i = 1; i < summaries.size(); ++i) {
        if (summaries.at(i).succeeded > 0
            && (fastest == 0 || summaries.at(i).wallUsPerBlock < summaries.at(fastest).wallUsPerBlock))
            fastest = i;
    }
    return fastest;
}

// A dash when a figure is missing.
QString ratio(double ours, double peer)
{
    return ours > 0 && peer > 0 ? u"**%1**"_s.arg(fixed(ours / peer, 2)) : u"–"_s;
}

void printSizeRows(const SizeResults &results)
{
    QList<Summary> summaries;
    for (const Series &series : results)
        summaries.append(summarize(series));
    const qsizetype fastest = fastestPeer(summaries);
    for (qsizetype i = 0; i < results.size(); ++i) {
        const Summary &summary = summaries.at(i);
        const auto figure = [&summary](double value, int decimals) {
            return summary.succeeded > 0 ? fixed(value, decimals) : u"–"_s;
        };
        QString versusFastest = i > 0 && i == fastest ? u"(fastest)"_s : QString();
        QString versusTftpCpu;
        if (i == 0) {
            versusFastest = ratio(summary.wallUsPerBlock, fastest > 0 ? summaries.at(fastest).wallUsPerBlock : 0);
            versusTftpCpu = ratio(summary.cpuUsPerBlock, summaries.at(1).cpuUsPerBlock);
        }
        const QString wallRange = summary.succeeded > 0
                ? u"%1–%2"_s.arg(fixed(summary.minWallMs, 0), fixed(summary.maxWallMs, 0))
                : u"–"_s;
        print(u"| %1 B | %2 | %3 | %4 | %5 | %6 | %7 | %8 | %9 | %10/%11 |"_s.arg(
                fixed(results.at(i).imageSize, 0), clientNames.at(int(results.at(i).client)),
                figure(summary.wallMs, 0), figure(summary.cpuMs, 0), figure(summary.wallUsPerBlock, 1),
                figure(summary.cpuUsPerBlock, 1), versusFastest, versusTftpCpu, wallRange,
                QString::number(summary.succeeded), QString::number(results.at(i).uploads.size())));
    }
}

void printWindowLines(const WindowRun &run)
{
    QList<double> lateness;
    double guiCpuMs = 0;
    for (const TimerTimeout &timeout : run.timeouts) {
        lateness.append(timeout.latenessMs);
        guiCpuMs += timeout.threadCpuMs;
    }
    const auto longest = std::max_element(run.timeouts.cbegin(), run.timeouts.cend(),
                                          [](const TimerTimeout &a, const TimerTimeout &b) {
                                              return a.latenessMs < b.latenessMs;
                                          });
    const TimerTimeout stall = longest == run.timeouts.cend() ? TimerTimeout() : *longest;
    print(u"\nWindow, %1-byte upload: longest GUI stall **%2 ms** (99th percentile %3 ms; target < 50 ms), %4 "
          "progress values shown, %5 ms on the GUI thread in Start reading the file."_s.arg(
                  fixed(run.imageSize, 0), fixed(stall.latenessMs, 1), fixed(percentile(lateness, 0.99), 2),
                  fixed(run.progressValues, 0), fixed(run.startHandlerMs, 0)));
    print(u"\nThe window on the %1 platform: Start handler %2 ms (reading the image file alone, just before: %3 "
          "ms); upload %4 ms from the end of Start to updateCompleted; the longest stall began %5 ms after Start, "
          "with %6 ms of GUI thread CPU time in it (the rest: waiting for a processor); median lateness of the "
          "1 ms timer %7 ms over %8 timeouts; %9 frames painted; %10 ms GUI thread CPU time during the upload."_s
                  .arg(QGuiApplication::platformName(), fixed(run.startHandlerMs, 1), fixed(run.fileReadMs, 1),
                       fixed(run.uploadMs, 1), fixed(stall.dueMs, 1), fixed(stall.threadCpuMs, 2),
                       fixed(median(lateness), 3), fixed(run.timeouts.size(), 0), fixed(run.frames, 0),
                       fixed(guiCpuMs, 1)));
}

QString cpuModel()
{
    QFile cpuinfo(u"/proc/cpuinfo"_s);
    // A file of the proc file system has no size: read it whole.
    const QByteArrayList lines = cpuinfo.open(QIODevice::ReadOnly) ? cpuinfo.readAll().split('\n') : QByteArrayList();
    for (const QByteArray &line : lines) {
        if (line.startsWith("model name"))
            return QString::fromLatin1(line).section(u':', 1).trimmed();
    }
    return u"unknown"_s;
}

} // namespace

void printHeader(const TftpdProcess &server)
{
    print(u"# Upload benchmark\n"_s);
    print(u"- Server: in.tftpd %1"_s.arg(server.arguments().join(u' ')));
    print(u"- Wall time: ours from QtConcurrent::run to the watcher's finished signal; peers from spawn to reaping "
          "(their process start included). CPU time: ours getrusage(RUSAGE_SELF) delta, every thread of this "
          "process; peers the child's own user+sys from wait4(). Before the counted rounds, one uncounted 1 MiB "
          "upload per client warms up programs, libraries and the thread pool."_s);
}

void printPeers(const QList<PeerStartup> &peers)
{
    QStringList versions;
    QStringList startups;
    for (const PeerStartup &peer : peers) {
        versions.append(u"%1 (%2)"_s.arg(peer.program, peer.version));
        startups.append(u"%1 %2 ms"_s.arg(peer.program.section(u'/', -1), fixed(median(peer.wallMs), 2)));
    }
    print(u"- Peers: %1; their start-up with no transfer, included in their wall times (median of %2 version "
          "queries): %3."_s.arg(versions.join(u", "_s), QString::number(peers.constFirst().wallMs.size()),
                                startups.join(u", "_s)));
}

void printSummary(const QString &loadAtStart, const QList<SizeResults> &results, const WindowRun *window,
                  int rounds)
{
    print(u"\n## Summary\n"_s);
    print(u"%1 CPUs (%2), Linux %3, Qt %4; tftpd-hpa on loopback, 512-byte blocks; medians of %5 interleaved; "
          "load average %6 at start, %7 at end.\n"_s.arg(
                  QString::number(QThread::idealThreadCount()), cpuModel(), QSysInfo::kernelVersion(),
                  QString::fromLatin1(qVersion()), rounds == 1 ? u"1 round"_s : u"%1 rounds"_s.arg(rounds),
                  loadAtStart, loadAverage()));
    print(u"| Image | Client | Wall (ms) | CPU (ms) | Wall µs/block | CPU µs/block | Ours ÷ fastest peer "
          "| Ours ÷ tftp-hpa, CPU | Wall range (ms) | Uploads OK |"_s);
    print(u"|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"_s);
    for (const SizeResults &sizeResults : results)
        printSizeRows(sizeResults);
    print(u"\nOurs ÷ a peer compares time per block, so that curl's shorter large image compares fairly; target "
          "≤ 1.00."_s);
    if (window)
        printWindowLines(*window);
    print();
}

void printSingleUpload(qsizetype imageSize, const Upload &upload)
{
    const double blocks = double(blockCount(imageSize));
    print(u"ours, %1 bytes, %2 blocks: %3 ms wall, %4 ms CPU, %5 µs/block wall, %6 CPU µs/block"_s.arg(
            fixed(imageSize, 0), fixed(blocks, 0), fixed(upload.wallMs, 1), fixed(upload.cpuMs, 1),
            fixed(upload.wallMs * 1000 / blocks, 2), fixed(upload.cpuMs * 1000 / blocks, 2)));
    if (!upload.failure.isEmpty())
        print(u"FAILED: "_s + upload.failure);
}

void printFailures(const QStringList &failures)
{
    if (failures.isEmpty()) {
        print(u"Every upload succeeded and every stored file was byte-identical."_s);
        return;
    }
    print(u"FAILURES (%1):"_s.arg(failures.size()));
    for (const QString &failure : failures)
        print(u"- "_s + failure);
}

QString loadAverage()
{
    double loads[3] = {};
    if (::getloadavg(loads, 3) != 3)
        return u"unknown"_s;
    return u"%1 %2 %3"_s.arg(loads[0], 0, 'f', 2).arg(loads[1], 0, 'f', 2).arg(loads[2], 0, 'f', 2);
}
