#include "tftpdprocess.h"
#include "transfertest.h"

#include <QDir>
#include <QHostInfo>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

void addSizes()
{
    QTest::addColumn<int>("size");
    for (const int size : { 0, 1, 511, 512, 513, 1000, 1 << 20, 33553919 })
        QTest::addRow("%d bytes", size) << size;
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
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    // Ours, and closed to the server, which writes as nobody.
    QVERIFY(QDir().mkdir(m_server.filePath(u"locked"_s),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
}

// The server stores the image exactly, an empty one as an empty file; the
// progress counts every DATA packet with its header.
void TftpdInterop::upload()
{
    QFETCH(int, size);
    const QString name = u"upload-%1.bin"_s.arg(size);
    const QByteArray image = testImage(size);
    QTftp tftp;
    pointAt(tftp, m_server);

    QVERIFY2(runInPool([&] { return tftp.putByteArray(name, image); }, 60000) == 1, qPrintable(tftp.errorString()));

    const QByteArray stored = m_server.readFile(name);
    QVERIFY2(!stored.isNull(), "the server stored no file");
    QCOMPARE(stored, image);
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ size, size + 4 * (size / 512 + 1) }));
}

void TftpdInterop::download()
{
    QFETCH(int, size);
    const QString name = u"download-%1.bin"_s.arg(size);
    const QByteArray file = testImage(size);
    QVERIFY(m_server.writeFile(name, file));
    QTftp tftp;
    pointAt(tftp, m_server);
    const QString statusBefore = tftp.errorString();
    QByteArray received;

    QVERIFY2(tftp.getByteArray(name, &received), qPrintable(tftp.errorString()));

    QCOMPARE(received, file);
    QCOMPARE(tftp.errorString(), statusBefore); // a read sets no status when it succeeds
}

void TftpdInterop::refusedUpload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("storedBefore"); // null: no such file
    QTest::newRow("into a directory the server may not write")
            << u"locked/image.bin"_s << u"Protocol Error: 0 Permission denied"_s << QByteArray();
    QTest::newRow("into a missing directory")
            << u"absent/image.bin"_s << u"Protocol Error: 1 File not found"_s << QByteArray();
    QTest::newRow("over a file the server may not write")
            << u"readonly.bin"_s << u"Protocol Error: 0 Permission denied"_s << "original"_ba;
}

// Refused at the request: no block goes out and the server's file stays as it was.
void TftpdInterop::refusedUpload()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFETCH(QByteArray, storedBefore);
    QVERIFY(storedBefore.isNull() || m_server.writeFile(name, storedBefore));
    QTftp tftp;
    pointAt(tftp, m_server);

    QCOMPARE(runInPool([&] { return tftp.putByteArray(name, testImage(1000)); }), 0);

    QCOMPARE(tftp.errorString(), message);
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ 1000, 0 }));
    const QByteArray stored = m_server.readFile(name);
    QCOMPARE(stored, storedBefore);
    QCOMPARE(stored.isNull(), storedBefore.isNull());
}

void TftpdInterop::refusedDownload_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("unreadable"); // stored, but not readable by the server
    QTest::addColumn<QString>("message");
    // tftpd-hpa answers ERROR 1 "File not found": the code sits where a DATA
    // block number would and matches block 1, so the operation code decides.
    QTest::newRow("missing file") << u"missing.bin"_s << false
                                  << u"Incoming packet returned invalid operation code (\x05)."_s;
    // ERROR 0 "Permission denied": code 0 is not the block awaited.
    QTest::newRow("unreadable file") << u"private.bin"_s << true
                                     << u"Error on incoming packet number 0 vs expected 1"_s;
}

// One status, and the server's error text is not file content.
void TftpdInterop::refusedDownload()
{
    QFETCH(QString, name);
    QFETCH(bool, unreadable);
    QFETCH(QString, message);
    if (unreadable) {
        QVERIFY(m_server.writeFile(name, "secret"_ba));
        QVERIFY(QFile::setPermissions(m_server.filePath(name), QFile::ReadOwner | QFile::WriteOwner));
    }
    QTftp tftp;
    pointAt(tftp, m_server);
    QSignalSpy statuses(&tftp, &QTftp::errorStringChanged);
    QByteArray received = "kept"_ba;

    QVERIFY(!tftp.getByteArray(name, &received));

    QCOMPARE(tftp.errorString(), message);
    QCOMPARE(statuses.count(), 1);
    QCOMPARE(received, "kept"_ba);
}

void TftpdInterop::endpoints_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::newRow("localhost looked up") << u"127.0.0.1"_s << u"localhost"_s;
    QTest::newRow("IPv6 literal") << u"::1"_s << u"::1"_s;
}

// An upload goes to the first address the name resolves to, from a socket
// bound to local; a download takes a literal address only.
void TftpdInterop::endpoints()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    if (!QUdpSocket().bind(QHostAddress(local), 0))
        QSKIP("this machine has no such loopback address");
    const QHostAddress first = QHostInfo::fromName(remote).addresses().value(0);
    QVERIFY2(first.isLoopback(), qPrintable(first.toString()));
    if (first.protocol() != QHostAddress(local).protocol())
        QSKIP("the first address of the name is of the other protocol than the local address");
    TftpdProcess server{ QHostAddress(local) };
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTftp tftp;
    pointAt(tftp, server, local);
    tftp.setRemoteAddress(remote);
    const QByteArray image = testImage(1000);

    QVERIFY2(runInPool([&] { return tftp.putByteArray(u"fw.bin"_s, image); }) == 1, qPrintable(tftp.errorString()));

    QCOMPARE(server.readFile(u"fw.bin"_s), image);
    if (!QHostAddress(remote).isNull()) {
        QByteArray received;
        QVERIFY(tftp.getByteArray(u"fw.bin"_s, &received));
        QCOMPARE(received, image);
    }
}

QTEST_GUILESS_MAIN(TftpdInterop)
#include "tst_tftpdinterop.moc"
