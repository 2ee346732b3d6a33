#include "controller/qtftp.h"
#include "controller/statustext.h"
#include "tests/support/devicestandin.h"
#include "tftp/transferrunner.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <thread>

// The runner and the controller's side of a transfer, against a device played
// on loopback while the transfer runs in the pool.

class RunnerTest : public QObject
{
    Q_OBJECT

private slots:
    // Datagrams from another host flood in, but the device says nothing: the
    // wait ends in the socket's own words for a time-out all the same.
    void timeoutTextAfterStrays()
    {
        const QHostAddress localHost(QHostAddress::LocalHost);
        QUdpSocket device;
        QVERIFY(device.bind(localHost, 0));
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
        QFuture<Tftp::TransferResult> transfer = QtConcurrent::run([&] {
            Tftp::TransferRunner runner({ {}, QStringLiteral("127.0.0.1"), device.localPort() }, { 0, 500 }, {}, stop,
                                        { [&](quint16 port, bool) { clientPort = port; }, {}, {}, {} });
            return runner.put(QStringLiteral("a.bin"), "abc", false);
        });
        transfer.waitForFinished();
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
        tftp.setRemotePort(m_device.ports().constFirst());
        QStringList seen;
        connect(&tftp, &QTftp::errorStringChanged, this,
                [&] { seen << tftp.errorString() + QStringLiteral(": ") + QString::number(tftp.fileProgress()); });
        QSignalSpy completed(&tftp, &QTftp::updateCompleted);
        tftp.buildFileList(QUrl::fromLocalFile(folder.path()));
        tftp.startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(!completed.isEmpty(), 30000);
        QCOMPARE(seen, shown);
        QCOMPARE(tftp.localPort() == 0, shown.size() == 1);
    }

private:
    DeviceStandIn m_device{ { refusingBlock3() } };

    static StandInDevice refusingBlock3()
    {
        StandInDevice device;
        device.refusedName = QStringLiteral("7420-v1.bin");
        device.refusedBlock = 3;
        device.refusalCode = 3;
        device.refusalText = "Disk full";
        return device;
    }
};

QTEST_GUILESS_MAIN(RunnerTest)
#include "tst_runner.moc"
