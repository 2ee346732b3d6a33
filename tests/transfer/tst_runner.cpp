#include "controller/qtftp.h"
#include "controller/statustext.h"
#include "tftp/transferrunner.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <functional>
#include <thread>

// The runner and the controller's side of a transfer, against a device played
// on loopback by the test's thread while the transfer runs in the pool.

namespace {

const QHostAddress localHost(QHostAddress::LocalHost);

// Answers each datagram the device gets with what answer returns (nothing
// when empty), from a transfer port of its own, until ended says so.
void serve(const std::function<bool()> &ended, QUdpSocket &device, const std::function<QByteArray(const QByteArray &)> &answer)
{
    QUdpSocket transferPort;
    transferPort.bind(localHost, 0);
    while (!ended()) {
        for (QUdpSocket *socket : { &device, &transferPort }) {
            while (socket->hasPendingDatagrams()) {
                const QNetworkDatagram received = socket->receiveDatagram();
                if (const QByteArray reply = answer(received.data()); !reply.isEmpty())
                    transferPort.writeDatagram(reply, received.senderAddress(), quint16(received.senderPort()));
            }
        }
        QTest::qWait(20);
    }
}

} // namespace

class RunnerTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(device.bind(localHost, 0)); }
    void cleanup() { device.close(); }

    // Datagrams from another host flood in, but the device says nothing: the
    // wait ends in the socket's own words for a time-out all the same.
    void timeoutTextAfterStrays()
    {
        std::atomic<quint16> clientPort = 0;
        std::atomic<bool> ended = false;
        std::thread flood([&] {
            QUdpSocket stranger;
            stranger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
            while (!ended) {
                if (clientPort != 0)
                    stranger.writeDatagram("\0\4\0\0", 4, localHost, clientPort);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        const std::atomic<bool> stop = false;
        const QFuture<Tftp::TransferResult> transfer = QtConcurrent::run([&] {
            Tftp::TransferRunner runner({ {}, QStringLiteral("127.0.0.1"), device.localPort() }, { 0, 500 }, {}, stop,
                                        { [&](quint16 port, bool) { clientPort = port; }, {}, {}, {} });
            return runner.put(QStringLiteral("a.bin"), "abc", false);
        });
        serve([&] { return transfer.isFinished(); }, device, [](const QByteArray &) { return QByteArray(); });
        ended = true;
        flood.join();
        QCOMPARE(statusText(transfer.result()), QStringLiteral("No message received from host  Network operation timed out"));
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
        QFile image(folder.filePath(QStringLiteral("7420-v1.bin")));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(size, 'x')) == size);
        image.close();
        QTftp tftp;
        tftp.setLocalAddress(local);
        tftp.setLocalPort(1234);
        tftp.setRemoteAddress(remote);
        tftp.setRemotePort(device.localPort());
        QStringList seen;
        connect(&tftp, &QTftp::errorStringChanged, this,
                [&] { seen << tftp.errorString() + QStringLiteral(": ") + QString::number(tftp.fileProgress()); });
        QSignalSpy completed(&tftp, &QTftp::updateCompleted);
        tftp.buildFileList(QUrl::fromLocalFile(folder.path()));
        tftp.startUpdate();
        serve([&] { return !completed.isEmpty(); }, device, [](const QByteArray &datagram) {
            const char block = datagram[1] == 2 ? 0 : datagram[3];
            return block != 3 ? QByteArray("\0\4\0", 3) + block : QByteArray("\0\5\0\3Disk full\0", 14);
        });
        QCOMPARE(seen, shown);
        QCOMPARE(tftp.localPort() == 0, shown.size() == 1);
    }

private:
    QUdpSocket device;
};

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
