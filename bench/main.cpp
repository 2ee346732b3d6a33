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

#include "bench/ourclient.h"
#include "bench/peerclients.h"
#include "bench/report.h"
#include "bench/windowstall.h"
#include "controller/qtftp.h"
#include "tftpdprocess.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype smallImageSize = 1 << 20;
// The most that 16-bit block numbers allow: 65,534 full blocks and 511 bytes.
constexpr qsizetype largeImageSize = Tftp::MaxImageSize;
// curl 7.88 never exits when the last block number is 65535, so it gets one
// block less.
constexpr qsizetype curlLargeImageSize = 65534 * Tftp::BlockSize - 1;
constexpr int defaultRounds = 5;
// An application image, as a technician's firmware folder holds it.
const QString windowImageName = u"7420-v1.0.bin"_s;
const QList<Client> clients = { Client::Ours, Client::TftpHpa, Client::Curl };

struct Options
{
    int rounds = defaultRounds;
    bool onlyOurs = false;
    bool window = true;
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
    Image image;
    Image curlImage;

    const Image &imageFor(Client client) const { return client == Client::Curl ? curlImage : image; }
};

std::optional<Options> parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            u"Uploads images to a tftpd-hpa on loopback with our client, the tftp-hpa client and curl, then "
            "measures the window's responsiveness during the largest upload. Needs root (in.tftpd), tftpd-hpa, "
            "tftp-hpa and curl. Exit status: 0 all uploads byte-identical, 1 an upload failed or a stored file "
            "differs, 2 cannot run."_s);
    parser.addHelpOption();
    const QCommandLineOption rounds(u"rounds"_s, u"Interleaved rounds, at least 1 (default %1)."_s.arg(defaultRounds),
                                    u"count"_s, QString::number(defaultRounds));
    const QCommandLineOption onlyOurs(u"only-ours"_s,
                                      u"Upload the %L1-byte image once with our client only, and nothing else "
                                      "(for strace or perf)."_s.arg(largeImageSize));
    const QCommandLineOption noWindow(u"no-window"_s, u"Skip the window's measurement."_s);
    parser.addOptions({ rounds, onlyOurs, noWindow });
    parser.process(app);

    Options options;
    bool valid = false;
    options.rounds = parser.value(rounds).toInt(&valid);
    if (!valid || options.rounds < 1) {
        qCritical("--rounds needs a whole number of at least 1");
        return std::nullopt;
    }
    options.onlyOurs = parser.isSet(onlyOurs);
    options.window = !parser.isSet(noWindow);
    return options;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Our client and the peers against one server; every stored file is checked
// byte for byte.
class Benchmark
{
public:
    Benchmark(const TftpdProcess &server, const QString &workPath)
        : m_server(server)
        , m_workPath(workPath)
        , m_peers(workPath + u"/peer.log"_s)
    {
        const QString address = server.address().toString();
        m_tftp.setLocalAddress(address);
        m_tftp.setRemoteAddress(address);
        m_tftp.setRemotePort(server.port());

        // The same bytes on every run.
        QList<quint32> words((largeImageSize + 3) / 4);
        QRandomGenerator(0x5eed).fillRange(words.data(), words.size());
        const QByteArray large(reinterpret_cast<const char *>(words.constData()), largeImageSize);
        const Image small = writeImage(u"small.bin"_s, large.left(smallImageSize));
        m_cases = { { small, small },
                    { writeImage(u"large.bin"_s, large),
                      writeImage(u"large-curl.bin"_s, large.left(curlLargeImageSize)) } };
    }

    // Why the benchmark cannot run; empty when it can.
    QStringList setupFailures(bool onlyOurs) const
    {
        return onlyOurs ? m_failures : m_failures + m_peers.missingPrograms();
    }

    int runOnlyOurs()
    {
        const Image &image = m_cases.at(1).image;
        const Upload upload = measure(Client::Ours, image);
        printSingleUpload(image.bytes.size(), upload);
        return upload.failure.isEmpty() ? 0 : 1;
    }

    int runFull(const Options &options)
    {
        const QString loadAtStart = loadAverage();
        printHeader(m_server);
        const QList<SizeResults> results = compare(options.rounds);
        printPeers({ m_peers.startup(Client::TftpHpa), m_peers.startup(Client::Curl) });
        const std::optional<WindowRun> window = options.window ? std::optional(runWindow()) : std::nullopt;
        printSummary(loadAtStart, results, window ? &*window : nullptr, options.rounds);
        printFailures(m_failures);
        return m_failures.isEmpty() ? 0 : 1;
    }

private:
    Image writeImage(const QString &fileName, const QByteArray &bytes)
    {
        const QString path = m_workPath + u'/' + fileName;
        if (!writeFile(path, bytes))
            m_failures.append(u"cannot write %1"_s.arg(path));
        return { bytes, path };
    }

    void removeStored(const QString &name) const { QFile::remove(m_server.filePath(name)); }

    // Empty when the server stored exactly expected under name; otherwise
    // what differs.
    QString storedMismatch(const QString &name, const QByteArray &expected) const
    {
        const QByteArray stored = m_server.readFile(name);
        if (stored.isNull())
            return u"the server stored no file %1"_s.arg(name);
        if (stored == expected)
            return {};
        const qsizetype common = std::min(stored.size(), expected.size());
        const qsizetype offset =
                std::mismatch(stored.cbegin(), stored.cbegin() + common, expected.cbegin()).first - stored.cbegin();
        return u"%1 differs: stored %L2 bytes, expected %L3; first difference at byte %L4 (block %L5)"_s.arg(name)
                .arg(stored.size())
                .arg(expected.size())
                .arg(offset)
                .arg(offset / Tftp::BlockSize + 1);
    }

    // One upload by one client; the stored file is removed before and after.
    // Each client has names of its own, so that a transfer still lingering in
    // the server cannot touch the next client's file.
    Upload measure(Client client, const Image &image)
    {
        static const QStringList clientKeys = { u"ours"_s, u"tftp"_s, u"curl"_s }; // in the order of Client
        const QString name = u"bench-%1-%2.bin"_s.arg(clientKeys.at(int(client))).arg(image.bytes.size());
        removeStored(name);
        Upload upload = client == Client::Ours ? uploadWithOurClient(m_tftp, name, image.bytes)
                                               : m_peers.upload(client, m_server, image.path, name);
        if (const QString mismatch = storedMismatch(name, image.bytes); !mismatch.isEmpty())
            upload.failure = upload.failure.isEmpty() ? mismatch : upload.failure + u"; "_s + mismatch;
        removeStored(name);
        return upload;
    }

    // Uploads both images with every client in turn, A B C A B C ..., after
    // one uncounted round that brings programs, libraries and the thread pool
    // into memory. Failures of the uncounted round count too.
    QList<SizeResults> compare(int rounds)
    {
        const auto measureCounted = [this](Client client, const Image &image) {
            const Upload upload = measure(client, image);
            if (!upload.failure.isEmpty())
                m_failures.append(upload.failure);
            return upload;
        };
        for (Client client : clients)
            measureCounted(client, m_cases.constFirst().imageFor(client));

        QList<SizeResults> results;
        for (const SizeCase &sizeCase : std::as_const(m_cases)) {
            SizeResults &sizeResults = results.emplace_back();
            for (Client client : clients)
                sizeResults.append({ client, sizeCase.imageFor(client).bytes.size(), {} });
        }
        for (int round = 0; round < rounds; ++round) {
            for (qsizetype size = 0; size < m_cases.size(); ++size) {
                for (Series &series : results[size])
                    series.uploads.append(measureCounted(series.client, m_cases.at(size).imageFor(series.client)));
            }
        }
        return results;
    }

    // The window sends the image from a firmware folder and then an empty
    // "done" marker.
    WindowRun runWindow()
    {
        const QString folder = m_workPath + u"/firmware"_s;
        const QString imagePath = folder + u'/' + windowImageName;
        const QByteArray &image = m_cases.at(1).image.bytes;
        WindowRun run;
        if (!QDir().mkpath(folder) || !writeFile(imagePath, image)) {
            run.failure = u"cannot write the firmware folder %1"_s.arg(folder);
        } else {
            removeStored(windowImageName);
            removeStored(u"done"_s);
            run = runWindowUpload(imagePath, m_server);
            if (run.updateCompleted) {
                QStringList problems = { run.failure, storedMismatch(windowImageName, image),
                                         storedMismatch(u"done"_s, {}) };
                problems.removeAll(QString());
                run.failure = problems.join(u"; "_s);
            }
            removeStored(windowImageName);
            removeStored(u"done"_s);
        }
        if (!run.failure.isEmpty())
            m_failures.append(u"window: "_s + run.failure);
        return run;
    }

    const TftpdProcess &m_server;
    QString m_workPath;
    QTftp m_tftp;
    PeerClients m_peers;
    QList<SizeCase> m_cases; // the 1 MiB image, then the large one
    QStringList m_failures;
};

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

    const std::optional<Options> options = parseOptions(app);
    if (!options)
        return 2;

    QTemporaryDir work;
    if (!work.isValid()) {
        qCritical().noquote() << "cannot make a temporary directory:" << work.errorString();
        return 2;
    }
    // The window saves the address it is given: into a store of our own, not
    // the user's.
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, work.filePath(u"settings"_s));

    TftpdProcess server;
    if (!server.start()) {
        qCritical().noquote() << "cannot start tftpd-hpa:" << server.errorString();
        return 2;
    }
    Benchmark benchmark(server, work.path());
    if (const QStringList failures = benchmark.setupFailures(options->onlyOurs); !failures.isEmpty()) {
        printFailures(failures);
        return 2;
    }
    return options->onlyOurs ? benchmark.runOnlyOurs() : benchmark.runFull(*options);
}
