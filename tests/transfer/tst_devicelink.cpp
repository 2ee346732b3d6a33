#include "tftp/devicelink.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The link borrows a transfer's socket. QUdpSocket counts on its descriptor
// being non-blocking, so the socket must come back that way; and once the
// socket is gone, its descriptor's number is no longer the link's to touch.
class DeviceLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void deletedSocketIsLeftAlone();
    void mappedDevice();
    void firstPortKept();
};

namespace {

bool nonBlocking(int descriptor)
{
    return ::fcntl(descriptor, F_GETFL) & O_NONBLOCK;
}

QNetworkDatagram receiveOn(QUdpSocket &socket)
{
    return socket.waitForReadyRead(5000) ? socket.receiveDatagram() : QNetworkDatagram();
}

} // namespace

void DeviceLinkTest::deletedSocketIsLeftAlone()
{
    auto *socket = new QUdpSocket;
    QVERIFY(socket->bind(QHostAddress(QHostAddress::LocalHost), 0));
    const int descriptor = int(socket->socketDescriptor());
    int reused = -1;
    {
        const DeviceLink link(*socket, QHostAddress(QHostAddress::LocalHost), 9, false);
        delete socket;
        // A blocking socket, given the lowest free number: the one just closed.
        reused = ::socket(AF_INET, SOCK_DGRAM, 0);
        QCOMPARE(reused, descriptor);
    }
    QVERIFY(!nonBlocking(reused));
    ::close(reused);
}

// A socket bound for both IP versions sees an IPv4 device in mapped form. It
// is still the device, followed to each new port; other hosts are not.
void DeviceLinkTest::mappedDevice()
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::Any), 0))
        QSKIP("no socket for both IP versions");
    const QHostAddress localHost(QHostAddress::LocalHost);
    QUdpSocket device;
    QUdpSocket deviceNewPort;
    QUdpSocket stranger;
    QVERIFY(device.bind(localHost, 0) && deviceNewPort.bind(localHost, 0)
            && stranger.bind(QHostAddress(u"127.0.0.2"_s), 0));
    DeviceLink link(socket, localHost, device.localPort(), false);
    QByteArray buffer(64, '\0');

    QVERIFY(link.send("request"));
    QCOMPARE(receiveOn(device).data(), "request"_ba);
    for (const QByteArray &answer : { "first"_ba, "second"_ba }) {
        // Loopback keeps the order of sending.
        stranger.writeDatagram("stray", localHost, socket.localPort());
        deviceNewPort.writeDatagram(answer, localHost, socket.localPort());
        QCOMPARE(link.receive(buffer, 5000), -1);
        QCOMPARE(link.receive(buffer, 5000), answer.size());
        QVERIFY(link.send("next"));
        QCOMPARE(receiveOn(deviceNewPort).data(), "next"_ba);
    }
    QVERIFY(!device.hasPendingDatagrams() && !stranger.hasPendingDatagrams());
}

// A link that stays with the first port drops a second transfer process's
// answers, and keeps sending to the first. What the system refuses, the link
// reports in the socket's own words; and the socket comes back non-blocking.
void DeviceLinkTest::firstPortKept()
{
    const QHostAddress localHost(QHostAddress::LocalHost);
    QUdpSocket socket;
    QUdpSocket listening;
    QUdpSocket first;
    QUdpSocket second;
    QVERIFY(socket.bind(localHost, 0) && listening.bind(localHost, 0) && first.bind(localHost, 0)
            && second.bind(localHost, 0));
    {
        DeviceLink link(socket, localHost, listening.localPort(), true);
        QByteArray buffer(64, '\0');
        QVERIFY(link.send("request"));
        QCOMPARE(receiveOn(listening).data(), "request"_ba);
        first.writeDatagram("answer", localHost, socket.localPort());
        second.writeDatagram("late answer", localHost, socket.localPort());
        QCOMPARE(link.receive(buffer, 5000), 6);
        QCOMPARE(link.receive(buffer, 5000), -1);
        QVERIFY(link.send("ne", "xt")); // a header and a payload make one datagram
        QCOMPARE(receiveOn(first).data(), "next"_ba);
        QVERIFY(!second.hasPendingDatagrams());

        const QByteArray tooLarge(70000, 'x');
        QCOMPARE(second.writeDatagram(tooLarge, localHost, first.localPort()), -1);
        QVERIFY(!link.send(tooLarge));
        QCOMPARE(socket.errorString(), second.errorString());
    }
    QVERIFY(nonBlocking(int(socket.socketDescriptor())));
}

QTEST_GUILESS_MAIN(DeviceLinkTest)
#include "tst_devicelink.moc"
