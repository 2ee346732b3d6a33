#include "controller/statustext.h"
#include "tftp/devicelink.h"
#include "tftp/transferrunner.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <thread>

#include <fcntl.h>

using namespace Qt::StringLiterals;

// A transfer's way to its device over loopback: the link that borrows the
// transfer's socket, and the runner that owns it, in the pool.

namespace {

const QHostAddress localHost(QHostAddress::LocalHost);

QNetworkDatagram receiveOn(QUdpSocket &socket)
{
    return socket.waitForReadyRead(5000) ? socket.receiveDatagram() : QNetworkDatagram();
}

} // namespace

class RunnerTest : public QObject
{
    Q_OBJECT

private slots:
    // The device answers from a new port, then from a third: a socket bound for
    // both IP versions sees it in mapped form and follows it to each; a link that
    // stays with the first port drops the third's answers, as those of a second
    // transfer process, and keeps sending to the first. Other hosts are never
    // heard. What the system refuses, the link reports in the socket's own words;
    // and the socket comes back non-blocking, as QUdpSocket counts on.
    void linkAnswers_data()
    {
        QTest::addColumn<bool>("bothVersions");
        QTest::addColumn<bool>("stayWithFirstPort");
        QTest::newRow("mapped, followed") << true << false;
        QTest::newRow("first port kept") << false << true;
    }

    void linkAnswers()
    {
        QFETCH(bool, bothVersions);
        QFETCH(bool, stayWithFirstPort);
        QUdpSocket socket, device, first, third, stranger;
        if (!socket.bind(bothVersions ? QHostAddress(QHostAddress::Any) : localHost, 0))
            QSKIP("no socket for both IP versions");
        QVERIFY(device.bind(localHost, 0) && first.bind(localHost, 0) && third.bind(localHost, 0)
                && stranger.bind(QHostAddress(u"127.0.0.2"_s), 0));
        {
            DeviceLink link(socket, localHost, device.localPort(), stayWithFirstPort);
            QByteArray buffer(64, '\0');
            QVERIFY(link.send("request"));
            QCOMPARE(receiveOn(device).data(), "request"_ba);
            // Loopback keeps the order of sending.
            stranger.writeDatagram("stray", localHost, socket.localPort());
            first.writeDatagram("answer", localHost, socket.localPort());
            stranger.writeDatagram("stray", localHost, socket.localPort());
            third.writeDatagram("late", localHost, socket.localPort());
            QCOMPARE(link.receive(buffer, 5000), -1);
            QCOMPARE(link.receive(buffer, 5000), 6);
            QCOMPARE(link.receive(buffer, 5000), -1);
            QCOMPARE(link.receive(buffer, 5000), stayWithFirstPort ? -1 : 4);
            QVERIFY(link.send("ne", "xt")); // a header and a payload make one datagram
            QCOMPARE(receiveOn(stayWithFirstPort ? first : third).data(), "next"_ba);
            QVERIFY(!device.hasPendingDatagrams() && !stranger.hasPendingDatagrams()
                    && !(stayWithFirstPort ? third : first).hasPendingDatagrams());

            const QByteArray tooLarge(70000, 'x');
            QCOMPARE(stranger.writeDatagram(tooLarge, localHost, first.localPort()), -1);
            QVERIFY(!link.send(tooLarge));
            QCOMPARE(socket.errorString(), stranger.errorString());
        }
        QVERIFY(::fcntl(int(socket.socketDescriptor()), F_GETFL) & O_NONBLOCK);
    }

    // Datagrams from another host flood in, but the device says nothing: the
    // wait ends in the socket's own words for a time-out all the same.
    void timeoutTextAfterStrays()
    {
        QUdpSocket device, stranger;
        QVERIFY(device.bind(localHost, 0) && stranger.bind(QHostAddress(u"127.0.0.2"_s), 0));
        std::atomic<quint16> clientPort = 0;
        const std::atomic<bool> stop = false;
        const QFuture<Tftp::TransferResult> transfer = QtConcurrent::run([&] {
            Tftp::TransferRunner runner({ {}, u"127.0.0.1"_s, device.localPort() }, { 0, 500 }, {}, stop,
                                        { [&](quint16 port, bool) { clientPort = port; }, {}, {}, {} });
            return runner.put(u"a.bin"_s, "abc", false);
        });
        while (!transfer.isFinished()) {
            if (clientPort != 0)
                stranger.writeDatagram("\0\4\0\0", 4, localHost, clientPort);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        QCOMPARE(statusText(transfer.result()), u"No message received from host  Network operation timed out"_s);
    }
};

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
