#include "qtftp.h"
#include "tftpdprocess.h"

#include <QDir>
#include <QFutureWatcher>
#include <QHostInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>
#include <QtConcurrent>

#include <optional>

namespace {

constexpr int transferWaitMs = 60000;

// The same bytes on every run, different for every seed.
QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

void addSizes()
{
    QTest::addColumn<int>("size");
    for (const int size : { 0, 1, 511, 512, 513, 1000, 1 << 20, 33553919 })
        QTest::addRow("%d bytes", size) << size;
}

void aim(QTftp &tftp, quint16 port, const QString &local = QStringLiteral("127.0.0.1"),
         const QString &remote = QStringLiteral("127.0.0.1"))
{
    tftp.setLocalAddress(local);
    tftp.setRemoteAddress(remote);
    tftp.setRemotePort(port);
}

// Uploads the way the application does: on the global thread pool, with the
// property updates arriving as queued calls that the event loop applies
// before the watcher reports the end. Empty when the upload never ended.
std::optional<bool> put(QTftp &tftp, const QString &name, const QByteArray &data)
{
    QFutureWatcher<bool> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<bool>::finished);
    watcher.setFuture(QtConcurrent::run(&QTftp::putByteArray, &tftp, name, data));
    if (!finished.wait(transferWaitMs))
        return std::nullopt;
    return watcher.result();
}

// Sizes first: a mismatch of megabytes is not worth printing byte by byte.
#define COMPARE_BYTES(actual, expected)                                                                                \
    do {                                                                                                               \
        QCOMPARE((actual).size(), (expected).size());                                                                  \
        QVERIFY2((actual) == (expected), "the bytes differ");                                                          \
    } while (false)

// Uploads image and checks that the server stored exactly that.
void uploadIntact(QTftp &tftp, const TftpdProcess &server, const QString &name, const QByteArray &image)
{
    const std::optional<bool> result = put(tftp, name, image);
    QVERIFY2(result.has_value(), "the upload did not end");
    QCOMPARE(tftp.errorString(), QStringLiteral("No Error"));
    QVERIFY(*result);
    const QByteArray stored = server.readFile(name);
    QVERIFY2(!stored.isNull(), "the server stored no file");
    COMPARE_BYTES(stored, image);
}

} // namespace

class TftpdInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void upload_data() { addSizes(); }
    void upload();
    void download_data() { addSizes(); }
    void download();
    void refusedUpload_data();
    void refusedUpload();
    void refusedDownload_data();
    void refusedDownload();
    void endpoints_data();
    void endpoints();

private:
    TftpdProcess m_server;
};

void TftpdInterop::initTestCase()
{
    const QString reason = TftpdProcess::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    QVERIFY(m_server.isRunning());
    // Ours, and closed to the server, which writes as nobody.
    QVERIFY(QDir().mkdir(m_server.filePath(QStringLiteral("locked")),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
}

void TftpdInterop::upload()
{
    QFETCH(int, size);
    const QString name = QStringLiteral("upload-%1.bin").arg(size);
    const QByteArray image = randomBytes(size, quint32(size));
    QTftp tftp;
    aim(tftp, m_server.port());
    QSignalSpy localPorts(&tftp, &QTftp::localPortChanged);

    uploadIntact(tftp, m_server, name, image);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(tftp.fileSize(), size);
    QCOMPARE(tftp.fileProgress(), size + 4 * (size / 512 + 1)); // every DATA packet with its header
    QCOMPARE(localPorts.count(), 1);
    QVERIFY(tftp.localPort() != 0);
}

void TftpdInterop::download()
{
    QFETCH(int, size);
    const QString name = QStringLiteral("download-%1.bin").arg(size);
    const QByteArray file = randomBytes(size, ~quint32(size));
    QVERIFY(m_server.writeFile(name, file));
    QTftp tftp;
    aim(tftp, m_server.port());
    const QString statusBefore = tftp.errorString();

    QByteArray received;
    QVERIFY(tftp.getByteArray(name, &received));
    COMPARE_BYTES(received, file);
    QCOMPARE(tftp.errorString(), statusBefore); // a read sets no status when it succeeds
}

void TftpdInterop::refusedUpload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("storedBefore"); // null: no such file
    QTest::newRow("into a directory the server may not write")
            << QStringLiteral("locked/image.bin") << QStringLiteral("Protocol Error: 0 Permission denied")
            << QByteArray();
    QTest::newRow("into a missing directory") << QStringLiteral("absent/image.bin")
                                              << QStringLiteral("Protocol Error: 1 File not found") << QByteArray();
    QTest::newRow("over a file the server may not write")
            << QStringLiteral("readonly.bin") << QStringLiteral("Protocol Error: 0 Permission denied")
            << QByteArrayLiteral("original");
}

void TftpdInterop::refusedUpload()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFETCH(QByteArray, storedBefore);
    if (!storedBefore.isNull())
        QVERIFY(m_server.writeFile(name, storedBefore));
    const QByteArray image = randomBytes(1000, 7);
    QTftp tftp;
    aim(tftp, m_server.port());

    const std::optional<bool> result = put(tftp, name, image);
    QVERIFY2(result.has_value(), "the upload did not end");
    QCOMPARE(tftp.errorString(), message);
    QVERIFY(!*result);
    QCOMPARE(tftp.fileSize(), int(image.size()));
    QCOMPARE(tftp.fileProgress(), 0); // refused at the request: no block went out
    QCOMPARE(m_server.readFile(name), storedBefore);
    QCOMPARE(m_server.readFile(name).isNull(), storedBefore.isNull());
}

void TftpdInterop::refusedDownload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("unreadable"); // stored, but not readable by the server
    QTest::addColumn<QString>("message");
    // tftpd-hpa answers ERROR 1 "File not found": the code sits where a DATA
    // block number would and matches block 1, so the operation code decides.
    QTest::newRow("missing file") << QStringLiteral("missing.bin") << false
                                  << QStringLiteral("Incoming packet returned invalid operation code (%1).")
                                             .arg(QChar(5));
    // ERROR 0 "Permission denied": code 0 is not the block awaited.
    QTest::newRow("unreadable file") << QStringLiteral("private.bin") << true
                                     << QStringLiteral("Error on incoming packet number 0 vs expected 1");
}

void TftpdInterop::refusedDownload()
{
    QFETCH(QString, name);
    QFETCH(bool, unreadable);
    QFETCH(QString, message);
    if (unreadable) {
        QVERIFY(m_server.writeFile(name, QByteArrayLiteral("secret")));
        QVERIFY(QFile::setPermissions(m_server.filePath(name), QFile::ReadOwner | QFile::WriteOwner));
    }
    QTftp tftp;
    aim(tftp, m_server.port());
    QSignalSpy statuses(&tftp, &QTftp::errorStringChanged);

    QByteArray received = QByteArrayLiteral("kept");
    QVERIFY(!tftp.getByteArray(name, &received));
    QCOMPARE(tftp.errorString(), message);
    QCOMPARE(statuses.count(), 1);
    QCOMPARE(received, QByteArrayLiteral("kept")); // the server's error text is not file content
}

void TftpdInterop::endpoints_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<bool>("download"); // reads take a literal address only
    QTest::addColumn<QString>("name");
    QTest::newRow("IPv4 literal") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1") << true
                                  << QStringLiteral("ipv4.bin");
    QTest::newRow("localhost looked up") << QStringLiteral("127.0.0.1") << QStringLiteral("localhost") << false
                                         << QStringLiteral("localhost.bin");
    QTest::newRow("IPv6 literal") << QStringLiteral("::1") << QStringLiteral("::1") << true
                                  << QStringLiteral("ipv6.bin");
}

void TftpdInterop::endpoints()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(bool, download);
    QFETCH(QString, name);
    TftpdProcess ipv6Server(QHostAddress(QHostAddress::LocalHostIPv6));
    TftpdProcess *server = &m_server;
    if (QHostAddress(local).protocol() == QAbstractSocket::IPv6Protocol) {
        if (!QUdpSocket().bind(QHostAddress(QHostAddress::LocalHostIPv6), 0))
            QSKIP("this machine has no IPv6 loopback address");
        QVERIFY2(ipv6Server.start(), qPrintable(ipv6Server.errorString()));
        server = &ipv6Server;
    }
    const QList<QHostAddress> found = QHostInfo::fromName(remote).addresses();
    QVERIFY2(!found.isEmpty(), qPrintable(remote));
    QVERIFY2(found.constFirst().isLoopback(), qPrintable(found.constFirst().toString()));
    // The upload goes to the first address found, from a socket bound to local.
    if (found.constFirst().protocol() != QHostAddress(local).protocol())
        QSKIP("the first address of the name is of the other protocol than the local address");

    const QByteArray image = randomBytes(1000, 1000);
    QTftp tftp;
    aim(tftp, server->port(), local, remote);
    uploadIntact(tftp, *server, name, image);
    if (download && !QTest::currentTestFailed()) {
        QByteArray received;
        QVERIFY(tftp.getByteArray(name, &received));
        COMPARE_BYTES(received, image);
    }
}

QTEST_GUILESS_MAIN(TftpdInterop)
#include "tst_tftpdinterop.moc"
