#include "tftp/devicelink.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QTest>
#include <QUdpSocket>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

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

// The link borrows a transfer's socket. QUdpSocket counts on its descriptor
// being non-blocking, so the socket must come back that way; and once the
// socket is gone, its descriptor's number is no longer the link's to touch.
class DeviceLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void deletedSocketIsLeftAlone()
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

    // The device answers from a new port, then from a third: a socket bound for
    // both IP versions sees it in mapped form and follows it to each; a link that
    // stays with the first port drops the third's answers, as those of a second
    // transfer process, and keeps sending to the first. Other hosts are never
    // heard. What the system refuses, the link reports in the socket's own words;
    // and the socket comes back non-blocking.
    void answers_data()
    {
        QTest::addColumn<bool>("bothVersions");
        QTest::addColumn<bool>("stayWithFirstPort");
        QTest::newRow("mapped, followed") << true << false;
        QTest::newRow("first port kept") << false << true;
    }

    void answers()
    {
        QFETCH(bool, bothVersions);
        QFETCH(bool, stayWithFirstPort);
        const QHostAddress localHost(QHostAddress::LocalHost);
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
        QVERIFY(nonBlocking(int(socket.socketDescriptor())));
    }
};

QTEST_GUILESS_MAIN(DeviceLinkTest)
#include "tst_devicelink.moc"
