#include "controller/qtftp.h"
#include "controller/statustext.h"
#include "tests/support/devicestandin.h"
#include "tests/support/testfiles.h"
#include "tftp/devicelink.h"
#include "tftp/transferrunner.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <thread>

#include <fcntl.h>

using namespace Qt::StringLiterals;

// A transfer's way to its device over loopback, layer by layer: the link
// that borrows the transfer's socket, the runner that owns it, and the
// window's controller, which runs its transfers in the pool.

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

    // An update through the window's controller, its transfers on the pool
    // as the window runs them, to a device that acknowledges all but block 3,
    // which it refuses: the status line with the bar's value at each change.
    void throughTheController_data()
    {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("shown");
        // The device's address in the bound socket's IP version, also when
        // written in IPv6's mapped form; the marker's bar starts afresh.
        QTest::newRow("mapped") << "127.0.0.1" << "::ffff:127.0.0.1" << 1000
                                << QStringList{ "Sending file 7420-v1.bin: 0", "No Error: 1008", "Sending file done: 1008", "No Error: 4" };
        QTest::newRow("other version") << "127.0.0.1" << "::1" << 1000
                                       << QStringList{ "Sending file 7420-v1.bin: 0",
                                                       "could not resolve host name ::1 to an address of the local address's IP version: 0" };
        // An address no interface holds: the socket's own words, and port 0.
        QTest::newRow("bind failure") << "192.0.2.1" << "127.0.0.1" << 1000 << QStringList{ "The address is not available: 0" };
        // An application image refused after its first blocks did not arrive
        // whole; the bar shows how far the upload got.
        QTest::newRow("refused after data") << "" << "127.0.0.1" << 5000
                                            << QStringList{ "Sending file 7420-v1.bin: 0", "Protocol Error: 3 Disk full: 1548" };
    }

    void throughTheController()
    {
        QFETCH(QString, local);
        QFETCH(QString, remote);
        QFETCH(int, size);
        QFETCH(QStringList, shown);
        QTemporaryDir folder;
        writeTestFile(folder.filePath(u"7420-v1.bin"_s), testImage(size));
        QTftp tftp;
        tftp.setLocalAddress(local);
        tftp.setLocalPort(1234);
        tftp.setRemoteAddress(remote);
        tftp.setRemotePort(m_device.ports().constFirst());
        QStringList seen;
        connect(&tftp, &QTftp::errorStringChanged, this,
                [&] { seen << tftp.errorString() + u": "_s + QString::number(tftp.fileProgress()); });
        QSignalSpy completed(&tftp, &QTftp::updateCompleted);
        tftp.buildFileList(QUrl::fromLocalFile(folder.path()));
        tftp.startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(!completed.isEmpty(), 30000);
        QCOMPARE(seen, shown);
        QCOMPARE(tftp.localPort() == 0, shown.size() == 1);
    }

private:
    static StandInDevice refusingBlock3()
    {
        StandInDevice device;
        device.refusedName = u"7420-v1.bin"_s;
        device.refusedBlock = 3;
        device.refusalCode = 3;
        device.refusalText = "Disk full";
        return device;
    }

    DeviceStandIn m_device{ { refusingBlock3() } };
};

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
