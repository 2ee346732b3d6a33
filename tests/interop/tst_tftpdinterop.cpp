#include "controller/qtftp.h"
#include "tests/support/tftpdprocess.h"
#include "tests/support/udprelay.h"
#include "tftp/transferpolicy.h"

#include <QDir>
#include <QFutureWatcher>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(Tftp::TransferPolicy)

namespace {

// Pseudo-random bytes, the same for the same size, so that a block stored
// twice, lost or out of order shows as wrong content.
QByteArray testImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(quint32(size)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

void pointAt(QTftp &tftp, const TftpdProcess &server, quint16 port)
{
    tftp.setLocalAddress(server.address().toString());
    tftp.setRemoteAddress(server.address().toString());
    tftp.setRemotePort(port);
}

// Uploads on a pool thread, as the application does, while this thread's event
// loop runs any relay; returns after the queued property updates: 1 when
// delivered, 0 when not, -1 when not ended in time. The pool's threads end
// first, so ThreadSanitizer sees the upload's new thread ordered after this one.
int uploadInPool(QTftp &tftp, const QString &name, const QByteArray &image)
{
    QThreadPool::globalInstance()->waitForDone();
    QFutureWatcher<bool> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<bool>::finished);
    watcher.setFuture(QtConcurrent::run(&QTftp::putByteArray, &tftp, name, image));
    if (!finished.wait(60000))
        return -1;
    return watcher.result() ? 1 : 0;
}

} // namespace

class TftpdInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void upload_data();
    void upload();
    void refusedUpload();
    void lossyUpload_data();
    void lossyUpload();

private:
    TftpdProcess m_server;
    TftpdProcess m_server6{ QHostAddress(QHostAddress::LocalHostIPv6) }; // started where ::1 exists
    int m_lossyUploads = 0; // names every lossy upload apart, so no file is left from another
};

void TftpdInterop::initTestCase()
{
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    if (QUdpSocket().bind(m_server6.address(), 0))
        QVERIFY2(m_server6.start(), qPrintable(m_server6.errorString()));
    // Ours, and closed to the server, which writes as nobody.
    QVERIFY(QDir().mkdir(m_server.filePath(u"locked"_s),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
}

void TftpdInterop::upload_data()
{
    QTest::addColumn<bool>("ipv6");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("readBack");
    for (const int size : { 0, 1, 511, 512, 513, 1 << 20, 33553919 })
        QTest::addRow("%d bytes", size) << false << size << (size == 512);
    QTest::newRow("1000 bytes over IPv6") << true << 1000 << true;
}

// The server stores the image exactly, an empty one as an empty file; the
// progress counts every DATA packet with its header. A download brings the
// same bytes back.
void TftpdInterop::upload()
{
    QFETCH(bool, ipv6);
    QFETCH(int, size);
    QFETCH(bool, readBack);
    TftpdProcess &tftpd = ipv6 ? m_server6 : m_server;
    if (tftpd.port() == 0)
        QSKIP("this machine has no IPv6 loopback address");
    const QString name = u"upload-%1.bin"_s.arg(size);
    const QByteArray image = testImage(size);
    QTftp tftp;
    pointAt(tftp, tftpd, tftpd.port());

    QVERIFY2(uploadInPool(tftp, name, image) == 1, qPrintable(tftp.errorString()));

    const QByteArray stored = tftpd.readFile(name);
    QVERIFY2(!stored.isNull(), "the server stored no file");
    QCOMPARE(stored, image);
    QCOMPARE(tftp.errorString(), u"No Error"_s);
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ size, size + 4 * (size / 512 + 1) }));
    if (readBack) {
        QByteArray received;
        QVERIFY2(tftp.getByteArray(name, &received), qPrintable(tftp.errorString()));
        QCOMPARE(received, image);
    }
}

// Refused at the request: no block goes out and the server stores nothing.
void TftpdInterop::refusedUpload()
{
    QTftp tftp;
    pointAt(tftp, m_server, m_server.port());

    QCOMPARE(uploadInPool(tftp, u"locked/image.bin"_s, testImage(1000)), 0);

    QCOMPARE(tftp.errorString(), u"Protocol Error: 0 Permission denied"_s);
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ 1000, 0 }));
    QVERIFY(m_server.readFile(u"locked/image.bin"_s).isNull());
}

void TftpdInterop::lossyUpload_data()
{
    QTest::addColumn<Tftp::TransferPolicy>("policy");
    QTest::addColumn<int>("lostBlock"); // its first DATA packet is lost; 0: none
    QTest::addColumn<int>("lossPercent");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<bool>("someFail");
    QTest::addColumn<QString>("failure"); // set: every upload fails with this status

    QList<int> sizes;
    for (int size = 0; size <= 4000; size += 137)
        sizes.append(size);
    sizes << 60000 << 200000;
    const Tftp::TransferPolicy strict; // the window's
    // tftpd-hpa answers a lost DATA 1 by sending its OACK again after about a
    // second: it acknowledges the request, never block 1.
    QTest::newRow("strict, DATA 1 lost") << strict << 1 << 0 << QList<int>{ 0, 1, 512, 4000 } << true
                                         << u"Unexpected Packet Received: 6"_s;
    // A lost DATA brings the previous ACK again, which strict lock-step refuses.
    QTest::newRow("strict, 3% lost") << strict << 0 << 3 << sizes << true << QString();
    // The server's repeated answer comes before the client's own time-out.
    const Tftp::TransferPolicy patient{ 5, 1500 };
    QTest::newRow("resilient, DATA 1 lost, OACK repeated") << patient << 1 << 0 << QList<int>{ 0, 513 } << false
                                                           << QString();
    QTest::newRow("resilient, DATA 2 lost, ACK 1 repeated") << patient << 2 << 0 << QList<int>{ 513, 4000 } << false
                                                            << QString();
    QTest::newRow("resilient, DATA 1 and 3% lost") << Tftp::TransferPolicy{ 5, 300 } << 1 << 3 << sizes << false
                                                   << QString();
}

// Whatever is lost, an upload that reports success has stored exactly the
// image, and one that does not says why.
void TftpdInterop::lossyUpload()
{
    QFETCH(Tftp::TransferPolicy, policy);
    QFETCH(int, lostBlock);
    QFETCH(int, lossPercent);
    QFETCH(QList<int>, sizes);
    QFETCH(bool, someFail);
    QFETCH(QString, failure);
    QTftp tftp;
    tftp.setTransferPolicy(policy);
    int failed = 0;
    int droppedToServer = 0;
    int droppedToClient = 0;

    for (const int size : std::as_const(sizes)) {
        // A relay for each upload, so that the server's retransmissions for
        // one that failed cannot reach the next.
        UdpRelay relay(m_server.address(), m_server.port());
        QVERIFY(relay.listen());
        relay.setLostBlock(quint16(lostBlock));
        relay.setLoss(lossPercent, quint32(size));
        pointAt(tftp, m_server, relay.port());
        const QString name = u"lossy-%1.bin"_s.arg(++m_lossyUploads);
        const QByteArray image = testImage(size);

        const int result = uploadInPool(tftp, name, image);

        const QString outcome = u"%1 bytes: %2"_s.arg(size).arg(tftp.errorString());
        QVERIFY2(result >= 0 && (tftp.errorString() == u"No Error"_s) == (result == 1), qPrintable(outcome));
        if (result == 1) {
            const QByteArray stored = m_server.readFile(name);
            QVERIFY2(!stored.isNull() && stored == image,
                     qPrintable(u"%1, yet %2 bytes stored"_s.arg(outcome).arg(stored.size())));
        } else {
            ++failed;
            QVERIFY2(someFail && !tftp.errorString().isEmpty() && !tftp.errorString().startsWith(u"Sending file"_s),
                     qPrintable(outcome));
            QVERIFY2(failure.isEmpty() || tftp.errorString() == failure, qPrintable(outcome));
        }
        droppedToServer += relay.droppedToServer();
        droppedToClient += relay.droppedToClient();
    }

    QCOMPARE(failed > 0, someFail);
    QCOMPARE(failed == sizes.size(), !failure.isEmpty());
    QVERIFY(droppedToServer >= (lostBlock > 0 ? sizes.size() : 1));
    QCOMPARE(droppedToClient > 0, lossPercent > 0);
}

QTEST_GUILESS_MAIN(TftpdInterop)
#include "tst_tftpdinterop.moc"
