#include "controller/updateengine.h"
#include "controller/statustext.h"
#include "tests/support/testfiles.h"
#include "tests/support/tftpdprocess.h"
#include "tests/support/udprelay.h"
#include "tftp/tftppacket.h"
#include "tftp/transferrunner.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace Qt::StringLiterals;
using Tftp::TransferOptions;
using Tftp::TransferPolicy;
using Tftp::TransferResult;

Q_DECLARE_METATYPE(Tftp::TransferPolicy)
Q_DECLARE_METATYPE(Tftp::TransferOptions)

namespace {

const std::atomic<bool> neverStopped = false;

// A transfer on this thread, to the server's port or to a relay in front.
Tftp::TransferRunner runner(const TftpdProcess &server, quint16 port, TransferPolicy policy = {}, TransferOptions options = {})
{
    const QString address = server.address().toString();
    return Tftp::TransferRunner({ address, address, port }, policy, options, neverStopped);
}

// What both servers are asked for: tftpd-hpa knows no windowsize and leaves
// it out of its answer.
const TransferOptions fast{ 1428, 16 };
constexpr int largestFastImage = 65535 * 1428 - 1;

} // namespace

class TftpdInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const auto kind : { TftpdProcess::TftpdHpa, TftpdProcess::Atftpd }) {
            if (const QString reason = TftpdProcess::unavailableReason(kind); !reason.isEmpty())
                QSKIP(qPrintable(reason));
        }
        const bool haveIpv6 = QUdpSocket().bind(QHostAddress(QHostAddress::LocalHostIPv6), 0);
        for (int i = 0; i < 4; ++i) {
            m_servers[i] = std::make_unique<TftpdProcess>(QHostAddress(i % 2 ? QHostAddress::LocalHostIPv6 : QHostAddress::LocalHost),
                                                          i < 2 ? TftpdProcess::TftpdHpa : TftpdProcess::Atftpd);
            if (i % 2 == 0 || haveIpv6)
                QVERIFY2(m_servers[i]->start(), qPrintable(m_servers[i]->errorString()));
        }
    }

    void transfer_data()
    {
        QTest::addColumn<bool>("atftpd");
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<TransferOptions>("options");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("negotiated"); // block size and window the server accepted
        for (const int size : { 0, 1, 511, 512, 513, 1 << 20, 33553919 })
            QTest::addRow("tftpd-hpa, %d bytes", size) << false << false << TransferOptions() << size << u"512/1"_s;
        QTest::newRow("tftpd-hpa, 1000 bytes over IPv6") << false << true << TransferOptions() << 1000 << u"512/1"_s;
        for (const bool atftpd : { false, true }) {
            const char *name = atftpd ? "atftpd" : "tftpd-hpa";
            const QString negotiated = atftpd ? u"1428/16"_s : u"1428/1"_s;
            for (const int size : { 0, 1, 1427, 1428, 1429, 16 * 1428, largestFastImage })
                QTest::addRow("%s, fast, %d bytes", name, size) << atftpd << false << fast << size << negotiated;
            QTest::addRow("%s, fast, over IPv6", name) << atftpd << true << fast << 16 * 1428 + 1 << negotiated;
        }
    }

    // The server stores the image exactly, an empty one as an empty file, and
    // hands the same bytes back; progress counts every DATA packet with its
    // header, each block once.
    void transfer()
    {
        QFETCH(bool, atftpd);
        QFETCH(bool, ipv6);
        QFETCH(TransferOptions, options);
        QFETCH(int, size);
        QFETCH(QString, negotiated);
        const TftpdProcess &tftpd = server(atftpd, ipv6);
        if (tftpd.port() == 0)
            QSKIP("this machine has no IPv6 loopback address");
        const QString name = u"%1.bin"_s.arg(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-'));
        const QByteArray image = testImage(size);

        const TransferResult sent = runner(tftpd, tftpd.port(), {}, options).put(name, image, false);
        QCOMPARE(statusText(sent), u"No Error"_s);
        QCOMPARE(u"%1/%2"_s.arg(sent.options.blockSize).arg(sent.options.windowSize), negotiated);
        QCOMPARE(sent.bytesSent, qint64(size) + 4 * (size / sent.options.blockSize + 1));
        // atftpd acknowledges the last block before it has closed the file.
        QTRY_VERIFY(tftpd.readFile(name) == image);

        QByteArray received;
        const TransferResult readBack = runner(tftpd, tftpd.port(), {}, options).get(name, &received);
        QCOMPARE(statusText(readBack), u"No Error"_s);
        QCOMPARE(u"%1/%2"_s.arg(readBack.options.blockSize).arg(readBack.options.windowSize), negotiated);
        QVERIFY(received == image);
    }

    void lossy_data()
    {
        QTest::addColumn<bool>("atftpd");
        QTest::addColumn<TransferPolicy>("policy");
        QTest::addColumn<TransferOptions>("options");
        QTest::addColumn<int>("lostBlock"); // its first DATA packet is lost; 0: none
        QTest::addColumn<QList<int>>("impairments"); // percent lost, duplicated, reordered
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<bool>("someFail"); // failures are allowed, each with its reason

        QList<int> sizes;
        for (int size = 0; size <= 4000; size += 397)
            sizes.append(size);
        sizes << 60000 << 200000;
        const TransferPolicy strict; // the window's
        const TransferPolicy resilient{ 5, 300 };
        const TransferOptions none;
        // A lost DATA brings the previous ACK again, which strict lock-step refuses.
        QTest::newRow("strict, 3% lost") << false << strict << none << 0 << QList<int>{ 3, 0, 0 } << sizes << true;
        // tftpd-hpa answers a lost DATA 1 by sending its OACK again, which the
        // client's own time-out has outrun.
        QTest::newRow("resilient, DATA 1 and 3% lost") << false << resilient << none << 1 << QList<int>{ 3, 0, 0 } << sizes
                                                       << false;
        // Late copies of acknowledgements of blocks long acknowledged are stale.
        QTest::newRow("resilient, lost, duplicated, reordered") << false << resilient << none << 0 << QList<int>{ 3, 10, 10 }
                                                                << sizes << false;
        // atftpd does not wait after its last ACK: when that is lost, nothing
        // tells the client that the image arrived, and the upload fails.
        const QList<int> fastSizes{ 0, 22848, 100000, 300000 };
        for (const bool atftpd : { false, true }) {
            QTest::addRow("%s, fast, resilient, 3%% lost", atftpd ? "atftpd" : "tftpd-hpa")
                    << atftpd << resilient << fast << 0 << QList<int>{ 3, 0, 0 } << fastSizes << atftpd;
        }
    }

    // Whatever is lost, a transfer that reports success has moved exactly the
    // image, and one that does not says why. With options, every delivered image
    // is also read back through the same kind of link.
    void lossy()
    {
        QFETCH(bool, atftpd);
        QFETCH(TransferPolicy, policy);
        QFETCH(TransferOptions, options);
        QFETCH(int, lostBlock);
        QFETCH(QList<int>, impairments);
        QFETCH(QList<int>, sizes);
        QFETCH(bool, someFail);
        const TftpdProcess &tftpd = server(atftpd, false);
        int failed = 0;
        int dropped = 0;
        // A relay for each transfer, so that the server's retransmissions for one
        // that failed cannot reach the next.
        const auto relayed = [&](quint32 seed) {
            auto relay = std::make_unique<UdpRelay>(tftpd.address(), tftpd.port());
            relay->setLoss(impairments[0], seed);
            relay->setDuplication(impairments[1]);
            relay->setReordering(impairments[2]);
            return relay;
        };

        for (const int size : std::as_const(sizes)) {
            const QString name = u"lossy-%1.bin"_s.arg(++m_lossyUploads);
            const QByteArray image = testImage(size);
            std::unique_ptr<UdpRelay> relay = relayed(quint32(size));
            relay->setLostBlock(quint16(lostBlock));
            QVERIFY(relay->listen());
            const TransferResult sent = runner(tftpd, relay->port(), policy, options).put(name, image, false);
            dropped += relay->dropped();

            const QString outcome = u"%1 bytes: %2"_s.arg(size).arg(statusText(sent));
            if (sent.succeeded()) {
                QTRY_VERIFY2(tftpd.readFile(name) == image,
                             qPrintable(u"%1, yet %2 bytes stored"_s.arg(outcome).arg(tftpd.readFile(name).size())));
                if (!options.any())
                    continue;
                QByteArray received;
                relay = relayed(quint32(size) + 1);
                QVERIFY(relay->listen());
                const TransferResult readBack = runner(tftpd, relay->port(), policy, options).get(name, &received);
                QVERIFY2(readBack.succeeded() ? received == image : someFail,
                         qPrintable(u"%1 bytes, read back: %2"_s.arg(size).arg(statusText(readBack))));
            } else {
                ++failed;
                QVERIFY2(someFail && !statusText(sent).isEmpty(), qPrintable(outcome));
            }
        }

        QVERIFY(failed < sizes.size() && dropped > 0);
    }

    void lastAckLost_data()
    {
        QTest::addColumn<bool>("verify");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("status");
        const QString timedOut = u"No message received from host  Network operation timed out"_s;
        QTest::newRow("not read back") << false << 5000 << timedOut;
        QTest::newRow("read back") << true << 5000 << u"No Error"_s;
        // A stored copy without the last, empty, block would read back the same.
        QTest::newRow("read back, last block empty") << true << 5120 << timedOut;
    }

    // atftpd does not wait after its last ACK: when that is lost, the image is
    // stored whole, and only reading it back can show it. The marker follows only
    // then.
    void lastAckLost()
    {
        QFETCH(bool, verify);
        QFETCH(int, size);
        QFETCH(QString, status);
        const TftpdProcess &tftpd = server(true, false);
        const QString imageName = u"7421BT-v1.0.bin"_s;
        const QByteArray image = testImage(size);
        QTemporaryDir folder;
        writeTestFile(folder.filePath(imageName), image);
        QFile::remove(tftpd.filePath(imageName));
        QFile::remove(tftpd.filePath(u"done"_s));
        UdpRelay relay(tftpd.address(), tftpd.port());
        relay.setLostAck(quint16(size / 512 + 1));
        QVERIFY(relay.listen());

        UpdateEngine engine;
        const QString address = tftpd.address().toString();
        QSignalSpy ended(&engine, &UpdateEngine::finished);
        engine.start(UpdatePlan::readFolder(folder.path(), Tftp::MaxImageSize, false),
                     { { address, address, relay.port() }, { 3, 200 }, {}, verify });
        QVERIFY(ended.wait(30000));
        QCOMPARE(engine.reports().constFirst().status, status);
        QTRY_VERIFY(tftpd.readFile(imageName) == image);
        QCOMPARE(tftpd.readFile(u"done"_s).isNull(), status != u"No Error"_s);
    }

private:
    TftpdProcess &server(bool atftpd, bool ipv6) { return *m_servers[(atftpd ? 2 : 0) + (ipv6 ? 1 : 0)]; }

    std::unique_ptr<TftpdProcess> m_servers[4]; // tftpd-hpa and atftpd, each on 127.0.0.1 and ::1
    int m_lossyUploads = 0; // names every lossy upload apart, so no file is left from another
};

QTEST_GUILESS_MAIN(TftpdInterop)
#include "tst_tftpdinterop.moc"
