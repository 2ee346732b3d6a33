// Upload benchmark. Against one tftpd-hpa on a loopback port, started here:
//
//  1. Throughput: our client (putByteArray on the global thread pool, as the
//     window runs it), the tftp-hpa client and curl upload a 1 MiB image and
//     a 33,553,919-byte image (65,535 blocks of 512 bytes), interleaved over
//     a number of rounds; every stored file is compared byte for byte.
//  2. Responsiveness: the real window uploads the 33,553,919-byte image from
//     a folder, started by its Start button, while a 1 ms timer on the GUI
//     thread records how late it fires.
//
// It prints figures and judges nothing by speed. Exit status: 0 when every
// upload succeeded with byte-identical files, 1 when an upload failed or a
// stored file differs, 2 when the benchmark cannot run here.

#include "qtftp.h"
#include "tftpdprocess.h"

#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr qsizetype blockSize = 512;
constexpr qsizetype dataHeaderSize = 4;
constexpr qsizetype smallImageSize = 1 << 20;
// The most that 16-bit block numbers allow: 65,534 full blocks and 511 bytes.
constexpr qsizetype largeImageSize = 65535 * blockSize - 1;
// curl 7.88 never exits when the last block number is 65535, so it gets one
// block less.
constexpr qsizetype curlLargeImageSize = 65534 * blockSize - 1;

constexpr int defaultRounds = 5;
// A peer still running after this long is stopped and counted as failed. Our
// client needs no such limit: it gives up by itself after 10 s of silence.
constexpr int peerTimeoutMs = 120000;
constexpr int windowUploadTimeoutMs = 120000;
constexpr int firstFrameTimeoutMs = 10000;
constexpr int stallTimerIntervalMs = 1;
constexpr int startupSamples = 5;
constexpr quint32 imageSeed = 0x5eed;

const QString loopback = QStringLiteral("127.0.0.1");
// An application image, as a technician's firmware folder holds it.
const QString windowImageName = QStringLiteral("7420-v1.0.bin");

// ---------------------------------------------------------------------------
// Measurements

enum class Client { Ours, TftpHpa, Curl };
const QList<Client> allClients = { Client::Ours, Client::TftpHpa, Client::Curl };

// One upload by one client.
struct Upload
{
    QString failure; // empty when the server stored exactly the image
    qint64 wallNs = 0;
    qint64 cpuNs = 0;
    qint64 blocks = 0;
};

// An image as our client gets it (bytes) and as a peer gets it (a file).
struct Image
{
    QByteArray bytes;
    QString path;
};

// One image size of the comparison; curl may need an image of its own.
struct SizeCase
{
    QString title;
    QString key; // part of the remote file names
    Image image;
    Image curlImage;
};

// Every counted upload of one client for one size case.
struct Series
{
    Client client = Client::Ours;
    QList<Upload> uploads;
};

// Medians over a series' successful uploads.
struct Summary
{
    int succeeded = 0;
    int attempted = 0;
    qint64 blocks = 0;
    double medianWallMs = 0;
    double minWallMs = 0;
    double maxWallMs = 0;
    double medianCpuMs = 0;
    double wallUsPerBlock = 0;
    double cpuUsPerBlock = 0;
};

struct CaseResults
{
    const SizeCase *sizeCase = nullptr;
    QList<Series> series; // in the order of allClients
};

// How late a 1 ms timer on the GUI thread fired.
struct StallFigures
{
    int timeouts = 0;
    double longestMs = 0;
    double longestAtMs = 0; // when the longest stall began, from the probe's start
    double longestCpuMs = 0; // CPU time the GUI thread used in it
    double guiCpuMs = 0; // CPU time the GUI thread used while the probe ran
    double p99Ms = 0;
    double medianMs = 0;
};

// The window's upload of the large image, started by its Start button.
struct WindowRun
{
    QString failure;
    double startHandlerMs = 0; // GUI thread busy in Start: file list and file read
    double fileReadMs = 0; // reading the image file alone, just before Start
    double uploadMs = 0; // from the end of Start to updateCompleted
    StallFigures stalls;
    int progressValues = 0; // fileProgressChanged reaching the window for the image
    int frames = 0;
};

struct Machine
{
    int cpus = 0;
    QString kernel;
    QString cpuModel;
};

// ---------------------------------------------------------------------------
// Small helpers

QString clientName(Client client)
{
    switch (client) {
    case Client::Ours:
        return QStringLiteral("ours (putByteArray)");
    case Client::TftpHpa:
        return QStringLiteral("tftp-hpa client");
    case Client::Curl:
        return QStringLiteral("curl");
    }
    return {};
}

QString clientKey(Client client)
{
    switch (client) {
    case Client::Ours:
        return QStringLiteral("ours");
    case Client::TftpHpa:
        return QStringLiteral("tftp");
    case Client::Curl:
        return QStringLiteral("curl");
    }
    return {};
}

qint64 blocksFor(qsizetype imageSize)
{
    return imageSize / blockSize + 1;
}

QString grouped(qint64 value)
{
    QString digits = QString::number(value);
    for (qsizetype i = digits.size() - 3; i > 0 && digits.at(i - 1) != u'-'; i -= 3)
        digits.insert(i, u',');
    return digits;
}

QString decimal(double value, int decimals)
{
    const double factor = std::pow(10.0, decimals);
    const double rounded = std::round(value * factor) / factor;
    const qint64 whole = qint64(rounded);
    if (decimals == 0)
        return grouped(whole);
    const QString text = QString::number(rounded, 'f', decimals);
    return grouped(whole) + text.mid(text.indexOf(u'.'));
}

void print(const QString &line = {})
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

void note(const QString &line)
{
    std::fputs(qPrintable(line + u'\n'), stderr);
}

double milliseconds(qint64 ns)
{
    return double(ns) / 1e6;
}

qint64 nanoseconds(const timeval &time)
{
    return qint64(time.tv_sec) * 1000000000 + qint64(time.tv_usec) * 1000;
}

qint64 cpuNanoseconds(const rusage &usage)
{
    return nanoseconds(usage.ru_utime) + nanoseconds(usage.ru_stime);
}

// User and system time of every thread of this process so far.
qint64 processCpuNs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuNanoseconds(usage);
}

template <typename T> T median(std::vector<T> values)
{
    if (values.empty())
        return T();
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The smallest value that at least fraction of the values do not exceed.
template <typename T> T percentile(std::vector<T> values, double fraction)
{
    if (values.empty())
        return T();
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// The same bytes on every run.
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// ---------------------------------------------------------------------------
// The machine

QString firstLineOf(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(5000))
        return QStringLiteral("(no answer)");
    return QString::fromLocal8Bit(process.readAll()).section(u'\n', 0, 0).trimmed();
}

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (!cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("unknown");
    // A file of the proc file system has no size: read it whole.
    const QStringList lines = QString::fromLatin1(cpuinfo.readAll()).split(u'\n');
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("model name")))
            return line.section(u':', 1).trimmed();
    }
    return QStringLiteral("unknown");
}

Machine describeMachine()
{
    Machine machine;
    // What nproc prints: the processors this process may run on.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    machine.cpus = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed)
                                                                          : int(::sysconf(_SC_NPROCESSORS_ONLN));
    utsname names{};
    if (::uname(&names) == 0)
        machine.kernel = QString::fromLatin1(names.release);
    machine.cpuModel = cpuModel();
    return machine;
}

QString loadAverage()
{
    double loads[3] = {};
    if (::getloadavg(loads, 3) != 3)
        return QStringLiteral("unknown");
    return QStringLiteral("%1 %2 %3").arg(loads[0], 0, 'f', 2).arg(loads[1], 0, 'f', 2).arg(loads[2], 0, 'f', 2);
}

// ---------------------------------------------------------------------------
// Checking what the server stored

// Empty when the server stored exactly expected under name; otherwise what
// differs.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected)
{
    const QByteArray stored = server.readFile(name);
    if (stored.isNull())
        return QStringLiteral("the server stored no file %1").arg(name);
    if (stored == expected)
        return {};
    const qsizetype common = std::min(stored.size(), expected.size());
    const qsizetype offset =
            std::mismatch(stored.cbegin(), stored.cbegin() + common, expected.cbegin()).first - stored.cbegin();
    return QStringLiteral("%1 differs: stored %2 bytes, expected %3; first difference at byte %4 (block %5)")
            .arg(name, grouped(stored.size()), grouped(expected.size()), grouped(offset))
            .arg(offset / blockSize + 1);
}

void removeStored(const TftpdProcess &server, const QString &name)
{
    QFile::remove(server.filePath(name));
}

// ---------------------------------------------------------------------------
// Our client, run as the window runs it

// putByteArray on the global thread pool, watched by a QFutureWatcher whose
// finished signal an event loop on this thread receives after the queued
// property updates. The wall time runs from the run call to that signal; the
// CPU time is that of every thread of this process in between.
Upload uploadWithOurs(QTftp &tftp, const QString &name, const QByteArray &image)
{
    QFutureWatcher<bool> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);

    Upload upload;
    upload.blocks = blocksFor(image.size());
    const qint64 cpuBefore = processCpuNs();
    QElapsedTimer wall;
    wall.start();
    watcher.setFuture(QtConcurrent::run(&QTftp::putByteArray, &tftp, name, image));
    loop.exec();
    upload.wallNs = wall.nsecsElapsed();
    upload.cpuNs = processCpuNs() - cpuBefore;
    if (!watcher.result())
        upload.failure = QStringLiteral("our client failed: %1").arg(tftp.errorString());
    return upload;
}

// ---------------------------------------------------------------------------
// A peer client, run as a child process

// A child run to its end. Wall time runs from the spawn to the reaping. The
// CPU time is the user and system time that wait4() reports for exactly this
// child (and for children it waited for; the peers start none): the kernel's
// own accounting of that process, untouched by our threads or the server's
// processes.
struct ChildRun
{
    QString failure;
    qint64 wallNs = 0;
    qint64 cpuNs = 0;
};

// Waits for the process behind pidfd to end; false after timeoutMs.
bool waitForExit(int pidfd, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd watched{ pidfd, POLLIN, 0 };
        const int ready = ::poll(&watched, 1, int(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

QString exitDescription(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? QString() : QStringLiteral("exited with code %1").arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return QStringLiteral("ended by signal %1").arg(WTERMSIG(status));
    return QStringLiteral("ended with status %1").arg(status);
}

// Runs command (an absolute program path and its arguments) with no input
// and its output in logPath.
ChildRun runChild(const QStringList &command, const QString &logPath)
{
    std::vector<QByteArray> arguments;
    for (const QString &argument : command)
        arguments.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const QByteArray log = QFile::encodeName(logPath);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    ChildRun run;
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        run.failure = QStringLiteral("cannot start %1: %2")
                              .arg(command.constFirst(), QString::fromLocal8Bit(std::strerror(spawnError)));
        return run;
    }

    // Without a pidfd (kernels before 5.3) wait4 below waits without a limit.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    const bool ended = pidfd < 0 || waitForExit(pidfd, peerTimeoutMs);
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    pid_t reaped = -1;
    do
        reaped = ::wait4(pid, &status, 0, &usage);
    while (reaped < 0 && errno == EINTR);
    run.wallNs = wall.nsecsElapsed();
    run.cpuNs = cpuNanoseconds(usage);
    if (pidfd >= 0)
        ::close(pidfd);

    if (reaped != pid)
        run.failure = QStringLiteral("%1 could not be waited for: %2")
                              .arg(command.constFirst(), QString::fromLocal8Bit(std::strerror(errno)));
    else if (!ended)
        run.failure = QStringLiteral("%1 did not end within %2 s").arg(command.constFirst()).arg(peerTimeoutMs / 1000);
    else if (const QString exit = exitDescription(status); !exit.isEmpty())
        run.failure = QStringLiteral("%1 %2").arg(command.constFirst(), exit);
    if (!run.failure.isEmpty()) {
        QFile output(logPath);
        if (output.open(QIODevice::ReadOnly))
            run.failure += QStringLiteral(": ") + QString::fromLocal8Bit(output.readAll()).trimmed();
    }
    return run;
}

// The peers' command lines, as an engineer types them.
struct PeerPrograms
{
    QString tftp;
    QString curl;
};

QStringList peerCommand(Client client, const PeerPrograms &programs, quint16 port, const QString &file,
                        const QString &name)
{
    if (client == Client::TftpHpa)
        return { programs.tftp, QStringLiteral("-m"), QStringLiteral("binary"), loopback, QString::number(port),
                 QStringLiteral("-c"), QStringLiteral("put"), file, name };
    return { programs.curl, QStringLiteral("-sS"), QStringLiteral("--tftp-blksize"), QString::number(blockSize),
             QStringLiteral("-T"), file, QStringLiteral("tftp://%1:%2/%3").arg(loopback).arg(port).arg(name) };
}

// What starting a peer costs with no transfer at all (a version query): part
// of every wall time measured for it.
double medianStartupMs(const QStringList &command, const QString &logPath)
{
    std::vector<qint64> walls;
    for (int i = 0; i < startupSamples; ++i)
        walls.push_back(runChild(command, logPath).wallNs);
    return milliseconds(median(walls));
}

// The tftp-hpa client exits 0 even when the server answers ERROR: only the
// stored bytes tell whether an upload worked.
Upload uploadWithPeer(const QStringList &command, const QString &logPath, qsizetype imageSize)
{
    const ChildRun run = runChild(command, logPath);
    Upload upload;
    upload.blocks = blocksFor(imageSize);
    upload.wallNs = run.wallNs;
    upload.cpuNs = run.cpuNs;
    upload.failure = run.failure;
    return upload;
}

// ---------------------------------------------------------------------------
// The throughput comparison

// Everything one upload needs.
struct Bench
{
    TftpdProcess *server = nullptr;
    QTftp *tftp = nullptr;
    PeerPrograms programs;
    QString workPath;
};

const Image &imageFor(Client client, const SizeCase &sizeCase)
{
    return client == Client::Curl ? sizeCase.curlImage : sizeCase.image;
}

// One upload by one client, checked byte for byte; the stored file is
// removed before and after.
Upload measureUpload(const Bench &bench, Client client, const SizeCase &sizeCase)
{
    const Image &image = imageFor(client, sizeCase);
    const QString name = QStringLiteral("bench-%1-%2.bin").arg(clientKey(client), sizeCase.key);
    removeStored(*bench.server, name);

    Upload upload;
    if (client == Client::Ours) {
        upload = uploadWithOurs(*bench.tftp, name, image.bytes);
    } else {
        const QStringList command = peerCommand(client, bench.programs, bench.server->port(), image.path, name);
        upload = uploadWithPeer(command, bench.workPath + QStringLiteral("/peer.log"), image.bytes.size());
    }
    if (const QString mismatch = storedMismatch(*bench.server, name, image.bytes); !mismatch.isEmpty())
        upload.failure = upload.failure.isEmpty() ? mismatch : upload.failure + QStringLiteral("; ") + mismatch;
    removeStored(*bench.server, name);
    return upload;
}

void reportUpload(const QString &label, Client client, const SizeCase &sizeCase, const Upload &upload)
{
    QString line = QStringLiteral("%1  %2  %3: %4 ms wall, %5 ms CPU")
                           .arg(label, sizeCase.title, clientName(client), decimal(milliseconds(upload.wallNs), 1),
                                decimal(milliseconds(upload.cpuNs), 1));
    if (!upload.failure.isEmpty())
        line += QStringLiteral("  FAILED: ") + upload.failure;
    note(line);
}

// Uploads the cases by every client in turn, A B C A B C ..., after one
// uncounted round that brings programs, libraries and the thread pool into
// memory. Failures of the uncounted round are counted too.
QList<CaseResults> runComparison(const Bench &bench, const QList<SizeCase> &cases, int rounds, QStringList &failures)
{
    QList<CaseResults> results;
    for (const SizeCase &sizeCase : cases) {
        CaseResults caseResults;
        caseResults.sizeCase = &sizeCase;
        for (Client client : allClients)
            caseResults.series.append(Series{ client, {} });
        results.append(caseResults);
    }

    for (Client client : allClients) {
        const Upload upload = measureUpload(bench, client, cases.constFirst());
        reportUpload(QStringLiteral("warm-up"), client, cases.constFirst(), upload);
        if (!upload.failure.isEmpty())
            failures.append(upload.failure);
    }
    for (int round = 1; round <= rounds; ++round) {
        for (CaseResults &caseResults : results) {
            for (Series &series : caseResults.series) {
                const Upload upload = measureUpload(bench, series.client, *caseResults.sizeCase);
                reportUpload(QStringLiteral("round %1/%2").arg(round).arg(rounds), series.client,
                             *caseResults.sizeCase, upload);
                if (!upload.failure.isEmpty())
                    failures.append(upload.failure);
                series.uploads.append(upload);
            }
        }
    }
    return results;
}

Summary summarize(const Series &series)
{
    Summary summary;
    std::vector<qint64> walls;
    std::vector<qint64> cpus;
    summary.attempted = int(series.uploads.size());
    for (const Upload &upload : series.uploads) {
        summary.blocks = upload.blocks;
        if (!upload.failure.isEmpty())
            continue;
        walls.push_back(upload.wallNs);
        cpus.push_back(upload.cpuNs);
    }
    summary.succeeded = int(walls.size());
    if (walls.empty())
        return summary;
    summary.medianWallMs = milliseconds(median(walls));
    summary.minWallMs = milliseconds(*std::min_element(walls.begin(), walls.end()));
    summary.maxWallMs = milliseconds(*std::max_element(walls.begin(), walls.end()));
    summary.medianCpuMs = milliseconds(median(cpus));
    summary.wallUsPerBlock = summary.medianWallMs * 1000.0 / double(summary.blocks);
    summary.cpuUsPerBlock = summary.medianCpuMs * 1000.0 / double(summary.blocks);
    return summary;
}

QList<Summary> summarizeCase(const CaseResults &results)
{
    QList<Summary> summaries;
    for (const Series &series : results.series)
        summaries.append(summarize(series));
    return summaries;
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

double ratio(double numerator, double denominator)
{
    return denominator > 0 ? numerator / denominator : 0;
}

// Wall time per block of ours over that of the fastest peer: per block, so
// that curl's shorter image compares fairly. Zero when a figure is missing.
double oursToFastestPeer(const QList<Summary> &summaries)
{
    const qsizetype fastest = fastestPeer(summaries);
    if (fastest == 0 || summaries.at(0).succeeded == 0)
        return 0;
    return ratio(summaries.at(0).wallUsPerBlock, summaries.at(fastest).wallUsPerBlock);
}

// A summary's figure, or a dash when none of its uploads succeeded.
QString figure(const Summary &summary, double value, int decimals)
{
    return summary.succeeded > 0 ? decimal(value, decimals) : QStringLiteral("–");
}

QString ratioText(double value)
{
    return value > 0 ? decimal(value, 2) : QStringLiteral("–");
}

QString roundsText(int rounds)
{
    return rounds == 1 ? QStringLiteral("1 round") : QStringLiteral("%1 rounds").arg(rounds);
}

void printCaseTable(const CaseResults &results, int rounds)
{
    const QList<Summary> summaries = summarizeCase(results);
    const SizeCase &sizeCase = *results.sizeCase;
    print(QStringLiteral("### %1 (medians of %2)").arg(sizeCase.title, roundsText(rounds)));
    print();
    print(QStringLiteral("| Client | Image bytes | Blocks | Uploads OK | Median wall (ms) | Wall range (ms) "
                         "| Median CPU (ms) | Wall µs/block | CPU µs/block |"));
    print(QStringLiteral("|---|---:|---:|---:|---:|---:|---:|---:|---:|"));
    for (qsizetype i = 0; i < summaries.size(); ++i) {
        const Summary &summary = summaries.at(i);
        const Client client = allClients.at(i);
        print(QStringLiteral("| %1 | %2 | %3 | %4/%5 | %6 | %7–%8 | %9 | %10 | %11 |")
                      .arg(clientName(client), grouped(imageFor(client, sizeCase).bytes.size()),
                           grouped(summary.blocks))
                      .arg(summary.succeeded)
                      .arg(summary.attempted)
                      .arg(figure(summary, summary.medianWallMs, 1), figure(summary, summary.minWallMs, 1),
                           figure(summary, summary.maxWallMs, 1), figure(summary, summary.medianCpuMs, 1),
                           figure(summary, summary.wallUsPerBlock, 2), figure(summary, summary.cpuUsPerBlock, 2)));
    }
    print();
    const qsizetype fastest = fastestPeer(summaries);
    print(QStringLiteral("Ours ÷ fastest peer (%1), wall per block: **%2** (target ≤ 1.00)")
                  .arg(fastest == 0 ? QStringLiteral("none") : clientName(allClients.at(fastest)),
                       ratioText(oursToFastestPeer(summaries))));
    print(QStringLiteral("Ours ÷ tftp-hpa client, CPU per block: **%1** (target ≤ 1.00)")
                  .arg(ratioText(ratio(summaries.at(0).cpuUsPerBlock, summaries.at(1).cpuUsPerBlock))));
    print();
}

// ---------------------------------------------------------------------------
// The window's responsiveness

// A 1 ms precise timer on the GUI thread. A timeout is due one interval after
// the previous one; how much later it fires is time the thread spent on
// something else (painting, queued property updates, reading a file).
class StallProbe
{
public:
    StallProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(stallTimerIntervalMs);
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] { recordTimeout(); });
    }

    void start()
    {
        timeouts.clear();
        clock.start();
        previousNs = 0;
        previousCpuNs = threadCpuNs();
        timer.start();
    }

    void stop() { timer.stop(); }

    StallFigures figures() const
    {
        StallFigures result;
        result.timeouts = int(timeouts.size());
        if (timeouts.empty())
            return result;
        std::vector<qint64> lateness;
        for (const Timeout &timeout : timeouts) {
            lateness.push_back(timeout.latenessNs);
            result.guiCpuMs += milliseconds(timeout.threadCpuNs);
        }
        const Timeout &longest = *std::max_element(timeouts.begin(), timeouts.end(),
                                                   [](const Timeout &a, const Timeout &b) {
                                                       return a.latenessNs < b.latenessNs;
                                                   });
        result.longestMs = milliseconds(longest.latenessNs);
        result.longestAtMs = milliseconds(longest.dueNs);
        result.longestCpuMs = milliseconds(longest.threadCpuNs);
        result.p99Ms = milliseconds(percentile(lateness, 0.99));
        result.medianMs = milliseconds(median(lateness));
        return result;
    }

private:
    // One timeout: when it was due, how late it came, and how much CPU time
    // the GUI thread used since the previous one (work, as opposed to
    // waiting for a processor).
    struct Timeout
    {
        qint64 dueNs = 0;
        qint64 latenessNs = 0;
        qint64 threadCpuNs = 0;
    };

    static qint64 threadCpuNs()
    {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    void recordTimeout()
    {
        const qint64 nowNs = clock.nsecsElapsed();
        const qint64 cpuNs = threadCpuNs();
        const qint64 dueNs = previousNs + qint64(stallTimerIntervalMs) * 1000000;
        timeouts.push_back(Timeout{ dueNs, std::max<qint64>(0, nowNs - dueNs), cpuNs - previousCpuNs });
        previousNs = nowNs;
        previousCpuNs = cpuNs;
    }

    QTimer timer;
    QElapsedTimer clock;
    qint64 previousNs = 0;
    qint64 previousCpuNs = 0;
    std::vector<Timeout> timeouts;
};

// Runs an event loop until signal comes from sender or timeoutMs passes;
// false on the time-out.
template <typename Sender, typename Signal>
bool waitForSignal(const Sender *sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    bool arrived = false;
    QObject::connect(sender, signal, &loop, [&] {
        arrived = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return arrived;
}

QObject *findNamed(QObject *root, const QString &name)
{
    return root->findChild<QObject *>(name);
}

// What a technician does before Start: picks the folder in the Open dialog
// and types the device's address. The window has no port field and picks the
// first interface, so the port and the local address are set on the
// controller, as the window tests do.
QString prepareWindow(QQuickWindow &window, QTftp &tftp, const QUrl &folder, quint16 port)
{
    QObject *dialog = findNamed(&window, QStringLiteral("openDialog"));
    QObject *addressField = findNamed(&window, QStringLiteral("addressField"));
    QObject *grid = findNamed(&window, QStringLiteral("gridLayout"));
    if (!dialog || !addressField || !grid)
        return QStringLiteral("the window lacks the Open dialog, the address field or the grid");
    QMetaObject::invokeMethod(dialog, "open");
    dialog->setProperty("currentFolder", folder);
    dialog->setProperty("selectedFolder", folder);
    QMetaObject::invokeMethod(dialog, "accept");
    addressField->setProperty("text", loopback);
    tftp.setLocalAddress(loopback);
    tftp.setRemotePort(port);
    if (!grid->property("visible").toBool() || tftp.remoteAddress() != loopback)
        return QStringLiteral("the window did not take the folder or the address");
    return {};
}

// How long the GUI thread takes to read the file as sendFile reads it.
double timeFileRead(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return milliseconds(clock.nsecsElapsed());
}

// Empty when the window's run ended as it should: status "No Error", the
// image and the empty "done" marker stored, the last progress value complete.
QString windowOutcome(QQuickWindow &window, const QTftp &tftp, const TftpdProcess &server, const QByteArray &image,
                      int lastProgress)
{
    QStringList problems;
    const QObject *statusLine = findNamed(&window, QStringLiteral("statusLine"));
    const QString status = statusLine ? statusLine->property("text").toString() : QString();
    if (status != QStringLiteral("No Error") || tftp.errorString() != QStringLiteral("No Error"))
        problems.append(QStringLiteral("the status line reads \"%1\"").arg(status));
    if (const QString mismatch = storedMismatch(server, windowImageName, image); !mismatch.isEmpty())
        problems.append(mismatch);
    if (const QString mismatch = storedMismatch(server, QStringLiteral("done"), QByteArray("", 0));
        !mismatch.isEmpty())
        problems.append(mismatch);
    const qint64 completeProgress = image.size() + dataHeaderSize * blocksFor(image.size());
    if (lastProgress != completeProgress)
        problems.append(QStringLiteral("the last progress value shown was %1, not %2")
                                .arg(grouped(lastProgress), grouped(completeProgress)));
    return problems.join(QStringLiteral("; "));
}

// The parts of the loaded window the benchmark works with.
struct WindowParts
{
    QQuickWindow *window = nullptr;
    QTftp *tftp = nullptr;
    QObject *startButton = nullptr;
};

WindowParts findWindowParts(const QQmlApplicationEngine &engine)
{
    WindowParts parts;
    if (engine.rootObjects().isEmpty())
        return parts;
    parts.window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (parts.window) {
        parts.tftp = parts.window->findChild<QTftp *>(QStringLiteral("qtftp"));
        parts.startButton = findNamed(parts.window, QStringLiteral("startButton"));
    }
    return parts;
}

// Presses Start and watches the GUI thread until updateCompleted. The Start
// handler reads the file on the GUI thread by design; its time is reported
// apart from the stalls that follow, which the probe records from the moment
// Start returns.
void pressStartAndWatch(const WindowParts &parts, qsizetype imageSize, WindowRun &run, int &lastProgress)
{
    QTftp *tftp = parts.tftp;
    const auto countProgress = [&run, &lastProgress, tftp, imageSize](int value) {
        if (tftp->fileSize() != imageSize)
            return;
        ++run.progressValues;
        lastProgress = value;
    };
    const QMetaObject::Connection progress =
            QObject::connect(tftp, &QTftp::fileProgressChanged, parts.window, countProgress);
    std::atomic<int> frames = 0; // the scene graph may render on a thread of its own
    const QMetaObject::Connection counting = QObject::connect(
            parts.window, &QQuickWindow::frameSwapped, parts.window, [&frames] { ++frames; }, Qt::DirectConnection);

    StallProbe probe;
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(parts.startButton, "clicked");
    run.startHandlerMs = milliseconds(clock.nsecsElapsed());

    clock.start();
    frames = 0;
    probe.start();
    const bool completed = waitForSignal(tftp, &QTftp::updateCompleted, windowUploadTimeoutMs);
    probe.stop();
    run.uploadMs = milliseconds(clock.nsecsElapsed());
    run.stalls = probe.figures();
    run.frames = frames;
    QObject::disconnect(counting);
    QObject::disconnect(progress);
    if (!completed)
        run.failure = QStringLiteral("the window's update did not complete within %1 s")
                              .arg(windowUploadTimeoutMs / 1000);
}

// Loads the real window and lets it upload image from a folder through its
// Start button, as a technician does, while the GUI thread is watched.
WindowRun runWindowUpload(const TftpdProcess &server, const QByteArray &image, const QString &workPath)
{
    WindowRun run;
    const QString folderPath = workPath + QStringLiteral("/firmware");
    const QString imagePath = folderPath + u'/' + windowImageName;
    if (!QDir().mkpath(folderPath) || !writeFile(imagePath, image)) {
        run.failure = QStringLiteral("cannot write the firmware folder %1").arg(folderPath);
        return run;
    }
    removeStored(server, windowImageName);
    removeStored(server, QStringLiteral("done"));

    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/main.qml")));
    const WindowParts parts = findWindowParts(engine);
    if (!parts.tftp || !parts.startButton) {
        run.failure = QStringLiteral("the window did not load with its controller and Start button");
        return run;
    }
    if (!waitForSignal(parts.window, &QQuickWindow::frameSwapped, firstFrameTimeoutMs)) {
        run.failure = QStringLiteral("the window painted no frame");
        return run;
    }
    run.failure = prepareWindow(*parts.window, *parts.tftp, QUrl::fromLocalFile(folderPath), server.port());
    if (!run.failure.isEmpty())
        return run;

    run.fileReadMs = timeFileRead(imagePath);
    int lastProgress = -1;
    pressStartAndWatch(parts, image.size(), run, lastProgress);
    if (run.failure.isEmpty())
        run.failure = windowOutcome(*parts.window, *parts.tftp, server, image, lastProgress);
    removeStored(server, windowImageName);
    removeStored(server, QStringLiteral("done"));
    return run;
}

void printWindowRun(const WindowRun &run)
{
    print(QStringLiteral("### The window during the %1-byte upload").arg(grouped(largeImageSize)));
    print();
    print(QStringLiteral("Started by the window's Start button (buildFileList of a folder holding %1, then "
                         "startUpdate), on the %2 platform; the update sends the image and then the empty "
                         "\"done\" marker.")
                  .arg(windowImageName, QGuiApplication::platformName()));
    print();
    print(QStringLiteral("| Figure | Value |"));
    print(QStringLiteral("|---|---:|"));
    print(QStringLiteral("| Start handler on the GUI thread (file list, reading the file) | %1 ms |")
                  .arg(decimal(run.startHandlerMs, 1)));
    print(QStringLiteral("| Reading the image file alone (QFile::readAll, just before Start) | %1 ms |")
                  .arg(decimal(run.fileReadMs, 1)));
    print(QStringLiteral("| Upload, end of Start to updateCompleted | %1 ms |").arg(decimal(run.uploadMs, 1)));
    print(QStringLiteral("| Longest GUI stall during the upload (target < 50 ms) | **%1 ms** |")
                  .arg(decimal(run.stalls.longestMs, 2)));
    print(QStringLiteral("| Longest stall began, after the end of Start | %1 ms |")
                  .arg(decimal(run.stalls.longestAtMs, 1)));
    print(QStringLiteral("| GUI thread CPU time within the longest stall (the rest: waiting for a processor) "
                         "| %1 ms |")
                  .arg(decimal(run.stalls.longestCpuMs, 2)));
    print(QStringLiteral("| 99th percentile of the 1 ms timer's lateness | %1 ms |").arg(decimal(run.stalls.p99Ms, 3)));
    print(QStringLiteral("| Median lateness | %1 ms |").arg(decimal(run.stalls.medianMs, 3)));
    print(QStringLiteral("| Timer timeouts seen | %1 |").arg(grouped(run.stalls.timeouts)));
    print(QStringLiteral("| Progress values reaching the window for the image | %1 |")
                  .arg(grouped(run.progressValues)));
    print(QStringLiteral("| Frames painted during the upload | %1 |").arg(grouped(run.frames)));
    print(QStringLiteral("| GUI thread CPU time during the upload | %1 ms |").arg(decimal(run.stalls.guiCpuMs, 1)));
    if (!run.failure.isEmpty())
        print(QStringLiteral("\nFAILED: %1").arg(run.failure));
    print();
}

// ---------------------------------------------------------------------------
// The summary for the README

void printSummary(const Machine &machine, const QString &loadAtStart, const QString &loadAtEnd,
                  const QList<CaseResults> &results, const WindowRun *windowRun, int rounds)
{
    print(QStringLiteral("## Summary"));
    print();
    print(QStringLiteral("%1 CPUs (%2), Linux %3, Qt %4; tftpd-hpa on loopback, 512-byte blocks; medians of %5 "
                         "interleaved; load average %6 at start, %7 at end.")
                  .arg(machine.cpus)
                  .arg(machine.cpuModel, machine.kernel, QString::fromLatin1(qVersion()))
                  .arg(roundsText(rounds))
                  .arg(loadAtStart.section(u' ', 0, 0), loadAtEnd.section(u' ', 0, 0)));
    print();
    print(QStringLiteral("| Image | Client | Wall (ms) | CPU (ms) | Wall µs/block | CPU µs/block "
                         "| Ours ÷ fastest peer |"));
    print(QStringLiteral("|---|---|---:|---:|---:|---:|---:|"));
    for (const CaseResults &caseResults : results) {
        const QList<Summary> summaries = summarizeCase(caseResults);
        for (qsizetype i = 0; i < summaries.size(); ++i) {
            const Client client = allClients.at(i);
            const Summary &summary = summaries.at(i);
            const QString bytes = grouped(imageFor(client, *caseResults.sizeCase).bytes.size());
            const QString versus = i == 0 ? QStringLiteral("**%1**").arg(ratioText(oursToFastestPeer(summaries)))
                                          : QString();
            print(QStringLiteral("| %1 B | %2 | %3 | %4 | %5 | %6 | %7 |")
                          .arg(bytes, clientName(client), figure(summary, summary.medianWallMs, 0),
                               figure(summary, summary.medianCpuMs, 0), figure(summary, summary.wallUsPerBlock, 1),
                               figure(summary, summary.cpuUsPerBlock, 1), versus));
        }
    }
    if (windowRun) {
        print();
        print(QStringLiteral("Window, %1-byte upload: longest GUI stall **%2 ms** (99th percentile %3 ms; target "
                             "< 50 ms), %4 progress values shown, %5 ms on the GUI thread in Start reading the file.")
                      .arg(grouped(largeImageSize), decimal(windowRun->stalls.longestMs, 1),
                           decimal(windowRun->stalls.p99Ms, 2), grouped(windowRun->progressValues),
                           decimal(windowRun->startHandlerMs, 0)));
    }
    print();
}

// ---------------------------------------------------------------------------
// Setting up

struct Options
{
    int rounds = defaultRounds;
    bool onlyOurs = false;
    bool skipWindow = false;
};

bool parseOptions(const QCoreApplication &app, Options &options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Uploads images to a tftpd-hpa on loopback with our client, the tftp-hpa client and curl, "
            "then measures the window's responsiveness during the largest upload. Needs root (in.tftpd), "
            "tftpd-hpa, tftp-hpa and curl. Exit status: 0 all uploads byte-identical, 1 an upload failed or a "
            "stored file differs, 2 cannot run."));
    parser.addHelpOption();
    const QCommandLineOption rounds(QStringLiteral("rounds"), QStringLiteral("Interleaved rounds, at least 1 (default %1).").arg(defaultRounds),
                                    QStringLiteral("count"), QString::number(defaultRounds));
    const QCommandLineOption onlyOurs(QStringLiteral("only-ours"),
                                      QStringLiteral("Upload the %1-byte image once with our client only, and "
                                                     "nothing else (for strace or perf).")
                                              .arg(grouped(largeImageSize)));
    const QCommandLineOption noWindow(QStringLiteral("no-window"), QStringLiteral("Skip the window's measurement."));
    parser.addOptions({ rounds, onlyOurs, noWindow });
    parser.process(app);

    bool valid = false;
    options.rounds = parser.value(rounds).toInt(&valid);
    if (!valid || options.rounds < 1) {
        note(QStringLiteral("--rounds needs a whole number of at least 1"));
        return false;
    }
    options.onlyOurs = parser.isSet(onlyOurs);
    options.skipWindow = parser.isSet(noWindow);
    return true;
}

// Library debug output would drown the figures; warnings still show.
void quietDebugOutput(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        note(message);
}

Image writeImage(const QString &path, QByteArray bytes, QStringList &failures)
{
    if (!writeFile(path, bytes))
        failures.append(QStringLiteral("cannot write %1").arg(path));
    return Image{ std::move(bytes), path };
}

QList<SizeCase> makeCases(const QString &workPath, QStringList &failures)
{
    const QByteArray large = randomBytes(largeImageSize, imageSeed);
    const QByteArray small = large.left(smallImageSize);
    SizeCase smallCase{ QStringLiteral("1 MiB image (%1 bytes)").arg(grouped(smallImageSize)), QStringLiteral("1mib"),
                        writeImage(workPath + QStringLiteral("/small.bin"), small, failures), {} };
    smallCase.curlImage = smallCase.image;
    SizeCase largeCase{ QStringLiteral("%1-byte image (curl: %2 bytes)")
                                .arg(grouped(largeImageSize), grouped(curlLargeImageSize)),
                        QStringLiteral("large"), writeImage(workPath + QStringLiteral("/large.bin"), large, failures),
                        writeImage(workPath + QStringLiteral("/large-curl.bin"), large.left(curlLargeImageSize),
                                   failures) };
    return { smallCase, largeCase };
}

QString findProgram(const QString &name, const QString &package, QStringList &failures)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        failures.append(QStringLiteral("%1 is not installed (Debian package %2)").arg(name, package));
    return path;
}

void printMachine(const Machine &machine, const PeerPrograms &programs, const TftpdProcess &server)
{
    print(QStringLiteral("# Upload benchmark"));
    print();
    print(QStringLiteral("- Machine: %1 CPUs, %2, Linux %3").arg(machine.cpus).arg(machine.cpuModel, machine.kernel));
    print(QStringLiteral("- Load average at start: %1").arg(loadAverage()));
    print(QStringLiteral("- Qt %1; peers: %2 (%3), %4")
                  .arg(QString::fromLatin1(qVersion()), programs.tftp,
                       firstLineOf(programs.tftp, { QStringLiteral("-V") }),
                       firstLineOf(programs.curl, { QStringLiteral("--version") }).section(u' ', 0, 1)));
    print(QStringLiteral("- Server: in.tftpd %1").arg(server.arguments().join(u' ')));
    print(QStringLiteral("- Wall time: ours from QtConcurrent::run to the watcher's finished signal; peers from "
                         "spawn to reaping (their process start included). CPU time: ours getrusage(RUSAGE_SELF) "
                         "delta, every thread of this process; peers the child's own user+sys from wait4()."));
    print();
}

void printPeerStartup(const PeerPrograms &programs, const QString &workPath)
{
    const QString log = workPath + QStringLiteral("/startup.log");
    const double tftpMs = medianStartupMs({ programs.tftp, QStringLiteral("-V") }, log);
    const double curlMs = medianStartupMs({ programs.curl, QStringLiteral("--version") }, log);
    print(QStringLiteral("Peer start-up with no transfer, included in the peers' wall times (median of %1): "
                         "tftp -V %2 ms, curl --version %3 ms. Before the counted rounds, one uncounted 1 MiB "
                         "upload per client warms up programs, libraries and the thread pool.")
                  .arg(startupSamples)
                  .arg(decimal(tftpMs, 2), decimal(curlMs, 2)));
    print();
}

int runOnlyOurs(const Bench &bench, const QList<SizeCase> &cases)
{
    const SizeCase &large = cases.at(1);
    const Upload upload = measureUpload(bench, Client::Ours, large);
    print(QStringLiteral("ours, %1 bytes, %2 blocks: %3 ms wall, %4 ms CPU, %5 µs/block wall, %6 CPU µs/block")
                  .arg(grouped(large.image.bytes.size()), grouped(upload.blocks),
                       decimal(milliseconds(upload.wallNs), 1), decimal(milliseconds(upload.cpuNs), 1),
                       decimal(milliseconds(upload.wallNs) * 1000.0 / double(upload.blocks), 2),
                       decimal(milliseconds(upload.cpuNs) * 1000.0 / double(upload.blocks), 2)));
    if (!upload.failure.isEmpty()) {
        print(QStringLiteral("FAILED: %1").arg(upload.failure));
        return 1;
    }
    return 0;
}

void printFailures(const QStringList &failures)
{
    if (failures.isEmpty()) {
        print(QStringLiteral("Every upload succeeded and every stored file was byte-identical."));
        return;
    }
    print(QStringLiteral("FAILURES (%1):").arg(failures.size()));
    for (const QString &failure : failures)
        print(QStringLiteral("- %1").arg(failure));
}

// The throughput comparison, then the window, then the summary; returns the
// exit status.
int runFullBenchmark(const Bench &bench, const QList<SizeCase> &cases, const Options &options, QStringList &failures)
{
    const Machine machine = describeMachine();
    const QString loadAtStart = loadAverage();
    printMachine(machine, bench.programs, *bench.server);

    const QList<CaseResults> results = runComparison(bench, cases, options.rounds, failures);
    print(QStringLiteral("## Throughput"));
    print();
    printPeerStartup(bench.programs, bench.workPath);
    for (const CaseResults &caseResults : results)
        printCaseTable(caseResults, options.rounds);

    WindowRun windowRun;
    if (!options.skipWindow) {
        windowRun = runWindowUpload(*bench.server, cases.at(1).image.bytes, bench.workPath);
        if (!windowRun.failure.isEmpty())
            failures.append(QStringLiteral("window: %1").arg(windowRun.failure));
        print(QStringLiteral("## Responsiveness"));
        print();
        printWindowRun(windowRun);
    }

    const QString loadAtEnd = loadAverage();
    print(QStringLiteral("Load average at end: %1").arg(loadAtEnd));
    print();
    printSummary(machine, loadAtStart, loadAtEnd, results, options.skipWindow ? nullptr : &windowRun, options.rounds);
    printFailures(failures);
    return failures.isEmpty() ? 0 : 1;
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
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
    qInstallMessageHandler(quietDebugOutput);

    Options options;
    if (!parseOptions(app, options))
        return 2;

    // The window saves the address it is given: into a store of our own, not
    // the user's.
    QTemporaryDir work;
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.path() + QStringLiteral("/settings"));
    qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");

    if (!work.isValid()) {
        note(QStringLiteral("cannot make a temporary directory: %1").arg(work.errorString()));
        return 2;
    }
    TftpdProcess server;
    if (!server.start()) {
        note(QStringLiteral("cannot start tftpd-hpa: %1").arg(server.errorString()));
        return 2;
    }
    QStringList failures;
    const QList<SizeCase> cases = makeCases(work.path(), failures);
    QTftp tftp;
    tftp.setLocalAddress(loopback);
    tftp.setRemoteAddress(loopback);
    tftp.setRemotePort(server.port());
    Bench bench{ &server, &tftp, {}, work.path() };
    if (options.onlyOurs)
        return failures.isEmpty() ? runOnlyOurs(bench, cases) : 2;

    bench.programs.tftp = findProgram(QStringLiteral("tftp"), QStringLiteral("tftp-hpa"), failures);
    bench.programs.curl = findProgram(QStringLiteral("curl"), QStringLiteral("curl"), failures);
    if (!failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }
    return runFullBenchmark(bench, cases, options, failures);
}
