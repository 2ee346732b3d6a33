#include "controller/qtftp.h"
#include "controller/statustext.h"
#include "tftp/transferrunner.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
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
// when empty), from a transfer port of its own, until the transfer has ended.
template<typename Result>
Result serve(QFuture<Result> transfer, QUdpSocket &device, const std::function<QByteArray(const QByteArray &)> &answer)
{
    QUdpSocket transferPort;
    transferPort.bind(localHost, 0);
    while (!transfer.isFinished()) {
        for (QUdpSocket *socket : { &device, &transferPort }) {
            while (socket->hasPendingDatagrams()) {
                const QNetworkDatagram received = socket->receiveDatagram();
                if (const QByteArray reply = answer(received.data()); !reply.isEmpty())
                    transferPort.writeDatagram(reply, received.senderAddress(), quint16(received.senderPort()));
            }
        }
        QTest::qWait(20);
    }
    return transfer.result();
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
        const auto result = serve(QtConcurrent::run([&] {
                                      Tftp::TransferRunner runner({ {}, QStringLiteral("127.0.0.1"), device.localPort() }, { 0, 500 }, {},
                                                                  stop, { [&](quint16 port, bool) { clientPort = port; }, {}, {}, {} });
                                      return runner.put(QStringLiteral("a.bin"), "abc", false);
                                  }),
                                  device, [](const QByteArray &) { return QByteArray(); });
        ended = true;
        flood.join();
        QCOMPARE(statusText(result), QStringLiteral("No message received from host  Network operation timed out"));
    }

    // An upload through the controller, on a pool thread as the window runs it,
    // to a device that acknowledges all but block 3, which it refuses.
    void throughTheController_data()
    {
        QTest::addColumn<QString>("local");
        QTest::addColumn<QString>("remote");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("progress");
        // The device's address in the bound socket's IP version, also when
        // written in IPv6's mapped form; one of the other version is refused.
        QTest::newRow("mapped") << "127.0.0.1" << "::ffff:127.0.0.1" << 1000 << "No Error" << 1008;
        QTest::newRow("other version") << "127.0.0.1" << "::1" << 1000
                                       << "could not resolve host name ::1 to an address of the local address's IP version" << 0;
        // An address no interface holds: the socket's own words, and port 0.
        QTest::newRow("bind failure") << "192.0.2.1" << "127.0.0.1" << 1000 << "The address is not available" << 0;
        // An application image refused after its first blocks did not arrive
        // whole; the bar shows how far the upload got.
        QTest::newRow("refused after data") << "" << "127.0.0.1" << 5000 << "Protocol Error: 3 Disk full" << 3 * 516;
    }

    void throughTheController()
    {
        QFETCH(QString, local);
        QFETCH(QString, remote);
        QFETCH(int, size);
        QFETCH(QString, status);
        QFETCH(int, progress);
        QTftp::k_bypassableFiles.append(QStringLiteral("7420-v1.bin"));
        QTftp tftp;
        tftp.setLocalAddress(local);
        tftp.setLocalPort(1234);
        tftp.setRemoteAddress(remote);
        tftp.setRemotePort(device.localPort());
        QSignalSpy shown(&tftp, &QTftp::fileProgressChanged);
        serve(QtConcurrent::run(&QTftp::putByteArray, &tftp, QStringLiteral("7420-V1.bin"), QByteArray(size, 'x')), device,
              [](const QByteArray &datagram) {
                  const char block = datagram[1] == 2 ? 0 : datagram[3];
                  return block != 3 ? QByteArray("\0\4\0", 3) + block : QByteArray("\0\5\0\3Disk full\0", 14);
              });
        QTRY_COMPARE(tftp.errorString(), status);
        QCOMPARE(shown.isEmpty() ? 0 : shown.last().first().toInt(), progress);
        QCOMPARE(tftp.localPort() == 0, status == u"The address is not available");
    }

private:
    QUdpSocket device;
};

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
