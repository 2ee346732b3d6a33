#include "transfertest.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;
using Action = ScriptedTftpServer::Action;

namespace {

constexpr int largestImage = 33553919;

// The request and the DATA packets of an upload: blocks of 512 bytes from 1,
// the last one short, empty if need be.
QByteArrayList uploadOf(const QByteArray &name, const QByteArray &image)
{
    QByteArrayList packets{ "\0\2"_ba + name + "\0octet\0tsize\0"_ba + QByteArray::number(image.size()) + '\0' };
    for (qsizetype offset = 0; offset <= image.size(); offset += 512)
        packets.append(ScriptedTftpServer::data(quint16(packets.size()), image.mid(offset, 512)));
    return packets;
}

} // namespace

class WriteTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression(u"."_s)); }
    void upload_data();
    void upload();
    void irregularReply_data();
    void irregularReply();
    void silentServer();
    void unusableEndpoint_data();
    void unusableEndpoint();
    void tooLargeImage();
    void addressFamilies_data();
    void addressFamilies();
    void destroyWhileRunning_data();
    void destroyWhileRunning();
};

void WriteTransferTest::upload_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<Script>("script");
    QTest::addColumn<bool>("onPool");

    for (const int size : { 0, 511, 512, 513, 1024 * 1024, largestImage })
        QTest::addRow("%d bytes", size) << size << Script{} << true;
    QTest::newRow("on the controller's thread") << 100000 << Script{} << false;
    QTest::newRow("OACK to the request") << 1000 << Script{ { 0, Action::ReplyWithOack, {} } } << true;
    QTest::newRow("bare OACK") << 1000 << Script{ { 0, Action::Send, "\0\6"_ba } } << true;
    QTest::newRow("answers from a new port") << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} } } << true;
    QTest::newRow("two port hops")
            << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} }, { 3, Action::ReplyFromNewPort, {} } } << true;
    // Strays that would end the upload if they were taken.
    QTest::newRow("stray before ACK 0")
            << 3000 << Script{ { 0, Action::ReplyAfterStray, ScriptedTftpServer::error(2, "go away") } } << true;
    QTest::newRow("stray before ACK 2")
            << 3000 << Script{ { 2, Action::ReplyAfterStray, ScriptedTftpServer::ack(3) } } << true;
}

// The image arrives whole in numbered blocks. The window sees the port, the
// note, the size and progress from 0, never going back, up to the image size
// plus 4 per DATA packet, then the final status, all on the controller's
// thread; run there, the values are in place when the call returns.
void WriteTransferTest::upload()
{
    QFETCH(int, size);
    QFETCH(Script, script);
    QFETCH(bool, onPool);
    ScriptedTftpServer server;
    load(server, script);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    const QByteArray image = testImage(size);
    const auto transfer = [&] { return tftp.putByteArray(u"image.bin"_s, image); };

    QVERIFY(onPool ? runInPool(transfer, 120000) == 1 : transfer());

    QCOMPARE(sent(server, tftp.localPort()), uploadOf("image.bin", image));
    QVERIFY(!log.offThread);
    QCOMPARE(log.events.mid(0, 4), (QStringList{ u"port %1"_s.arg(tftp.localPort()), u"status Sending file image.bin"_s,
                                                 u"size %1"_s.arg(size), u"progress 0"_s }));
    QCOMPARE(log.events.constLast(), u"status No Error"_s);
    QCOMPARE(log.of(u"status"_s), (QStringList{ u"Sending file image.bin"_s, u"No Error"_s }));
    QCOMPARE(log.of(u"size"_s), QStringList{ QString::number(size) });
    const QStringList progress = log.of(u"progress"_s);
    QVERIFY(std::is_sorted(progress.cbegin(), progress.cend(),
                           [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); }));
    const int total = size + 4 * (size / 512 + 1);
    QCOMPARE(progress.constLast().toInt(), total);
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ size, total }));
}

void WriteTransferTest::irregularReply_data()
{
    QTest::addColumn<int>("datagram");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("bypassable");
    QTest::addColumn<QString>("status");
    const auto row = [](const char *tag, int datagram, const QByteArray &packet, const QString &status,
                        bool bypassable = false) { QTest::newRow(tag) << datagram << packet << bypassable << status; };

    const QByteArray refusal = ScriptedTftpServer::error(2, "Access violation");
    const QString refused = u"Protocol Error: 2 Access violation"_s;
    row("ERROR to the request", 0, refusal, refused);
    row("ERROR to the request, bypassable", 0, refusal, u"No Error"_s, true);
    row("ERROR mid-file", 3, refusal, refused);
    row("ERROR mid-file, bypassable", 3, refusal, u"No Error"_s, true);
    // The text is UTF-8 and ends at its zero.
    row("ERROR text", 1, "\0\5\0\3Gr\xc3\xb6\xc3\x9f\x65\0second\0"_ba, u"Protocol Error: 3 Gr\u00f6\u00dfe"_s);
    row("ERROR without text", 1, "\0\5\1\0"_ba, u"Protocol Error: 256 "_s);
    // To the last block: the upload is not done until that is acknowledged.
    row("duplicate ACK", 6, ScriptedTftpServer::ack(5), u"Error on incoming packet number 5 vs expected 6"_s);
    row("ACK 256 for 1", 1, ScriptedTftpServer::ack(256), u"Error on incoming packet number 256 vs expected 1"_s);
    row("RRQ", 2, "\0\1x\0octet\0"_ba, u"Unexpected Packet Received: 1"_s);
    row("WRQ", 2, "\0\2x\0octet\0"_ba, u"Unexpected Packet Received: 2"_s);
    row("DATA", 2, ScriptedTftpServer::data(2, "abc"), u"Unexpected Packet Received: 3"_s);
    row("opcode 0", 1, "\0\0\0\1"_ba, u"Unknown Op Code: 0"_s);
    row("opcode 7", 1, "\0\7\0\1"_ba, u"Unknown Op Code: 7"_s);
    // Would pass for ACK 1 if only the low byte of the opcode were read.
    row("opcode 260", 1, "\1\4\0\1"_ba, u"Unknown Op Code: 260"_s);
    // Not ERROR packets, so even a bypassable image fails on them.
    row("empty datagram", 1, {}, u"Truncated Packet Received: 0 bytes"_s, true);
    row("1 byte", 1, QByteArray(1, '\0'), u"Truncated Packet Received: 1 bytes"_s);
    row("ACK of 3 bytes", 1, "\0\4\0"_ba, u"Truncated Packet Received: 3 bytes"_s);
    row("ERROR of 3 bytes", 1, "\0\5\0"_ba, u"Truncated Packet Received: 3 bytes"_s, true);
}

// The first irregular reply ends the upload on the spot, with nothing sent
// after it; a refusal of a bypassable image (name compared in lower case)
// counts as success.
void WriteTransferTest::irregularReply()
{
    QFETCH(int, datagram);
    QFETCH(QByteArray, packet);
    QFETCH(bool, bypassable);
    QFETCH(QString, status);
    if (bypassable)
        QTftp::k_bypassableFiles.append(u"app_1.bin"_s);
    const auto cleanup = qScopeGuard([] { QTftp::k_bypassableFiles.removeAll(u"app_1.bin"_s); });
    ScriptedTftpServer server;
    server.script(datagram, Action::Send, packet);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);

    const bool result = tftp.putByteArray(u"App_1.BIN"_s, testImage(3000));

    QCOMPARE(result, status == u"No Error"_s);
    QCOMPARE(log.of(u"status"_s), (QStringList{ u"Sending file App_1.BIN"_s, status }));
    QCOMPARE(server.received().size(), datagram + 1);
}

// One wait of ten seconds per reply, then failure: nothing is sent again.
void WriteTransferTest::silentServer()
{
    ScriptedTftpServer server;
    server.script(2, Action::Silence);
    QTftp tftp;
    pointAt(tftp, server);
    const QByteArray image = testImage(3000);
    QElapsedTimer timer;
    timer.start();

    QCOMPARE(runInPool([&] { return tftp.putByteArray(u"fw.bin"_s, image); }), 0);

    QVERIFY2(timer.elapsed() >= 10000 && timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tftp.errorString(), u"No message received from host  "_s + socketErrorText(u"127.0.0.1"_s));
    QCOMPARE(sent(server, tftp.localPort()), uploadOf("fw.bin", image).mid(0, 3));
    QCOMPARE(tftp.fileSize(), 3000);
}

void WriteTransferTest::unusableEndpoint_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QStringList>("statuses");
    const QString ipv4 = u"127.0.0.1"_s;
    const QString sending = u"Sending file second.bin"_s;

    // The mapped form is valid IPv6 text that no IPv6 socket can bind to.
    QTest::newRow("bind fails") << u"::ffff:127.0.0.1"_s << ipv4
                                << QStringList{ socketErrorText(u"::ffff:127.0.0.1"_s) };
    QTest::newRow("request not sent")
            << ipv4 << u"::1"_s
            << QStringList{ sending, u"Did not send packet to host  "_s + socketErrorText(ipv4, u"::1"_s) };
    QTest::newRow("no such host") << ipv4 << u"host.invalid"_s
                                  << QStringList{ sending, u"could not resolve host name host.invalid"_s };
    QTest::newRow("empty address") << ipv4 << QString() << QStringList{ sending, u"could not resolve host name "_s };
}

// A socket that cannot be bound or cannot reach the device, or a name that
// does not resolve, ends the upload before any size or progress is shown: the
// previous upload's stay. The port shown is the one bound, 0 when none was.
void WriteTransferTest::unusableEndpoint()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QStringList, statuses);
    ScriptedTftpServer server;
    QTftp tftp;
    pointAt(tftp, server);
    QVERIFY(tftp.putByteArray(u"first.bin"_s, testImage(1000)));
    tftp.setLocalPort(4242);
    tftp.setLocalAddress(local);
    tftp.setRemoteAddress(remote);
    PropertyLog log(tftp);

    QCOMPARE(runInPool([&] { return tftp.putByteArray(u"second.bin"_s, testImage(10)); }), 0);

    QCOMPARE(log.of(u"status"_s), statuses);
    QCOMPARE(log.of(u"size"_s) + log.of(u"progress"_s), QStringList());
    QCOMPARE((QList<int>{ tftp.fileSize(), tftp.fileProgress() }), (QList<int>{ 1000, 1008 }));
    QCOMPARE(tftp.localPort() == 0, statuses.size() == 1);
    QVERIFY(tftp.localPort() != 4242);
}

// 65,535 blocks is the most a 16-bit block number allows: one byte more than
// the largest image (which upload() sends) is refused before anything is bound
// or sent.
void WriteTransferTest::tooLargeImage()
{
    ScriptedTftpServer server;
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);

    QVERIFY(!tftp.putByteArray(u"big.bin"_s, QByteArray(largestImage + 1, 'x')));

    QCOMPARE(log.events,
             QStringList{ u"status File big.bin is too large to send: 33553920 bytes, the limit is 33553919 bytes"_s });
    QVERIFY(server.received().isEmpty());
}

void WriteTransferTest::addressFamilies_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<Script>("script");

    QTest::newRow("IPv6 loopback") << u"::1"_s << u"::1"_s << Script{ { 2, Action::ReplyFromNewPort, {} } };
    // Before an interface is chosen, the socket listens on every IPv4 address.
    QTest::newRow("no local address")
            << QString() << u"127.0.0.1"_s
            << Script{ { 0, Action::ReplyFromNewPort, {} },
                       { 2, Action::ReplyAfterStray, ScriptedTftpServer::error(2, "go away") },
                       { 4, Action::ReplyFromNewPort, {} } };
}

void WriteTransferTest::addressFamilies()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(Script, script);
    if (!QUdpSocket().bind(QHostAddress(QHostAddress::LocalHostIPv6), 0))
        QSKIP("no IPv6 loopback");
    ScriptedTftpServer server{ QHostAddress(remote) };
    load(server, script);
    QTftp tftp;
    pointAt(tftp, server, remote);
    tftp.setLocalAddress(local);
    const QByteArray image = testImage(3000);

    QVERIFY(tftp.putByteArray(u"fw.bin"_s, image));
    QCOMPARE(sent(server, tftp.localPort()), uploadOf("fw.bin", image));
}

void WriteTransferTest::destroyWhileRunning_data()
{
    QTest::addColumn<bool>("throughSendFile");
    QTest::newRow("started by sendFile") << true;
    QTest::newRow("started on a caller's thread") << false;
}

// Closing the window during an update stops the transfer promptly and leaves
// no thread behind that could still touch the controller.
void WriteTransferTest::destroyWhileRunning()
{
    QFETCH(bool, throughSendFile);
    ScriptedTftpServer server;
    server.script(0, Action::Silence);
    auto *tftp = new QTftp;
    pointAt(*tftp, server);

    QFuture<bool> ownTransfer;
    if (throughSendFile)
        QVERIFY(tftp->sendFile(QUrl(u"done"_s))); // the end marker: an upload without a file
    else
        ownTransfer = QtConcurrent::run(&QTftp::putByteArray, tftp, u"fw.bin"_s, testImage(5000));
    QTRY_COMPARE(server.received().size(), 1);
    const quint16 clientPort = server.received().constFirst().senderPort;
    QTest::qWait(200);
    QElapsedTimer timer;
    timer.start();
    delete tftp;

    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(throughSendFile || ownTransfer.isFinished());
    // The transfer has ended, and closed its socket, before the controller is gone.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), clientPort, QAbstractSocket::DontShareAddress));
    QTest::qWait(100); // an update left in the queue would now reach the deleted controller
    QCOMPARE(server.received().size(), 1);
}

QTEST_GUILESS_MAIN(WriteTransferTest)
#include "tst_writetransfer.moc"
