#include "transfertest.h"

#include <QElapsedTimer>
#include <QTest>

using Action = ScriptedTftpServer::Action;

namespace {

const QByteArray readRequest("\0\1file.bin\0octet\0", 17);

} // namespace

class ReadTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void download_data();
    void download();
    void irregularReply_data();
    void irregularReply();
    void silentServer();
    void unusableEndpoint();
};

void ReadTransferTest::download_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<Script>("script");

    QTest::newRow("empty") << 0 << QByteArray() << Script{};
    QTest::newRow("512") << 512 << QByteArray() << Script{};
    QTest::newRow("1000") << 1000 << QByteArray() << Script{};
    QTest::newRow("300 blocks") << 299 * 512 + 100 << QByteArray() << Script{};
    QTest::newRow("destination keeps its bytes") << 1000 << QByteArray("kept\0", 5) << Script{};
    QTest::newRow("DATA from a new port") << 3000 << QByteArray() << Script{ { 0, Action::ReplyFromNewPort, {} } };
    QTest::newRow("two port hops")
            << 3000 << QByteArray() << Script{ { 0, Action::ReplyFromNewPort, {} }, { 3, Action::ReplyFromNewPort, {} } };
    // Strays that would be taken for the awaited block if they were read.
    QTest::newRow("stray before block 1")
            << 3000 << QByteArray() << Script{ { 0, Action::ReplyAfterStray, ScriptedTftpServer::data(1, "stray") } };
    QTest::newRow("stray before block 3")
            << 3000 << QByteArray() << Script{ { 2, Action::ReplyAfterStray, ScriptedTftpServer::data(3, "stray") } };
}

// The file is appended whole, each block acknowledged once at the port it
// came from; a successful read shows no status and no progress.
void ReadTransferTest::download()
{
    QFETCH(int, size);
    QFETCH(QByteArray, prefix);
    QFETCH(Script, script);
    const QByteArray content = testImage(size);
    ScriptedTftpServer server;
    server.setFileContent(content);
    load(server, script);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    QByteArray destination = prefix;

    QVERIFY(tftp.getByteArray(QStringLiteral("file.bin"), &destination));

    QCOMPARE(destination, prefix + content);
    const int blocks = size / 512 + 1;
    QTRY_COMPARE(server.received().size(), blocks + 1); // the last ACK may still be on its way
    const QList<ScriptedTftpServer::Datagram> received = server.received();
    QCOMPARE(received[0].bytes, readRequest);
    for (int block = 1; block <= blocks; ++block)
        QCOMPARE(received[block].bytes, ScriptedTftpServer::ack(quint16(block)));
    QCOMPARE(portProblem(received, server.port(), tftp.localPort(), script), QString());
    QCOMPARE(server.straysSent(), countOf(script, Action::ReplyAfterStray));
    QVERIFY(log.statuses.isEmpty());
    QVERIFY(log.sizes.isEmpty());
    QVERIFY(log.progress.isEmpty());
}

void ReadTransferTest::irregularReply_data()
{
    QTest::addColumn<int>("datagram");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("status");

    const QByteArray payload(100, 'p');
    QTest::newRow("block 2 for 1") << 0 << ScriptedTftpServer::data(2, payload) << 0
                                   << QStringLiteral("Error on incoming packet number 2 vs expected 1");
    QTest::newRow("block 1 again") << 1 << ScriptedTftpServer::data(1, payload) << 512
                                   << QStringLiteral("Error on incoming packet number 1 vs expected 2");
    QTest::newRow("block 128 for 1") << 0 << ScriptedTftpServer::data(128, payload) << 0
                                     << QStringLiteral("Error on incoming packet number 128 vs expected 1");
    QTest::newRow("first byte A") << 1 << QByteArray("A\3\0\2", 4) + payload << 512
                                  << QStringLiteral("Incoming packet has invalid first byte (A).");
    QTest::newRow("first byte 0xE9") << 0 << QByteArray("\xe9\3\0\1", 4) + payload << 0
                                     << QStringLiteral("Incoming packet has invalid first byte (\u00e9).");
    // Its code matches the awaited block, so only the opcode test stops it,
    // before its text can land in the file.
    QTest::newRow("ERROR coded as the block") << 0 << ScriptedTftpServer::error(1, "File not found") << 0
                                              << QStringLiteral("Incoming packet returned invalid operation code (\x05).");
    QTest::newRow("ERROR with another code") << 0 << ScriptedTftpServer::error(2, "Access violation") << 0
                                             << QStringLiteral("Error on incoming packet number 2 vs expected 1");
    QTest::newRow("ACK instead of DATA") << 1 << ScriptedTftpServer::ack(2) << 512
                                         << QStringLiteral("Incoming packet returned invalid operation code (\x04).");
    QTest::newRow("empty datagram") << 0 << QByteArray() << 0 << QStringLiteral("Truncated Packet Received: 0 bytes");
    QTest::newRow("1 byte") << 1 << QByteArray(1, '\0') << 512 << QStringLiteral("Truncated Packet Received: 1 bytes");
    QTest::newRow("1 byte, not zero") << 0 << QByteArray("B") << 0
                                      << QStringLiteral("Incoming packet has invalid first byte (B).");
    QTest::newRow("2 bytes") << 0 << QByteArray("\0\3", 2) << 0 << QStringLiteral("Truncated Packet Received: 2 bytes");
    QTest::newRow("3 bytes") << 0 << QByteArray("\0\3\0", 3) << 0 << QStringLiteral("Truncated Packet Received: 3 bytes");
}

// The first irregular datagram ends the download with its message; the
// destination holds the blocks accepted before it and nothing of it, and no
// acknowledgement follows it.
void ReadTransferTest::irregularReply()
{
    QFETCH(int, datagram);
    QFETCH(QByteArray, packet);
    QFETCH(int, kept);
    QFETCH(QString, status);
    const QByteArray content = testImage(3000);
    ScriptedTftpServer server;
    server.setFileContent(content);
    server.script(datagram, Action::Send, packet);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    QByteArray destination;

    QCOMPARE(runInPool([&] { return tftp.getByteArray(QStringLiteral("file.bin"), &destination); }), 0);

    QCOMPARE(log.statuses, QStringList{ status });
    QVERIFY(!log.offThread);
    QCOMPARE(tftp.errorString(), status);
    QCOMPARE(destination, content.left(kept));
    QCOMPARE(server.received().size(), datagram + 1);
}

// One wait of ten seconds per block, then failure: ACK 1 is not sent again.
void ReadTransferTest::silentServer()
{
    const QByteArray content = testImage(3000);
    ScriptedTftpServer server;
    server.setFileContent(content);
    server.script(1, Action::Silence);
    QTftp tftp;
    pointAt(tftp, server);
    QByteArray destination;
    QElapsedTimer timer;
    timer.start();

    QVERIFY(!tftp.getByteArray(QStringLiteral("file.bin"), &destination));

    QVERIFY2(timer.elapsed() >= 10000 && timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tftp.errorString(), QStringLiteral("No message received from host  ") + timedOutText());
    QCOMPARE(destination, content.left(512));
    const QList<ScriptedTftpServer::Datagram> received = server.received();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received[1].bytes, ScriptedTftpServer::ack(1));
}

// A socket that cannot be bound reports the socket's own reason, with port 0
// shown; one that cannot reach the server fails on the request.
void ReadTransferTest::unusableEndpoint()
{
    QTftp tftp;
    tftp.setLocalPort(4242);
    tftp.setLocalAddress(QStringLiteral("::ffff:127.0.0.1"));
    tftp.setRemoteAddress(QStringLiteral("127.0.0.1"));
    QUdpSocket probe;
    probe.bind(QHostAddress(tftp.localAddress()), 0);
    QByteArray destination;

    QVERIFY(!tftp.getByteArray(QStringLiteral("file.bin"), &destination));
    QCOMPARE(tftp.errorString(), probe.errorString());
    QCOMPARE(tftp.localPort(), quint16(0));

    tftp.setLocalAddress(QStringLiteral("127.0.0.1"));
    tftp.setRemoteAddress(QStringLiteral("::1"));
    QUdpSocket ipv4;
    ipv4.bind(QHostAddress(QHostAddress::LocalHost), 0);
    ipv4.writeDatagram("x", QHostAddress(QHostAddress::LocalHostIPv6), 9);

    QVERIFY(!tftp.getByteArray(QStringLiteral("file.bin"), &destination));
    QCOMPARE(tftp.errorString(), QStringLiteral("Did not send packet to host  ") + ipv4.errorString());
    QVERIFY(tftp.localPort() != 0);
    QVERIFY(destination.isEmpty());
}

QTEST_GUILESS_MAIN(ReadTransferTest)
#include "tst_readtransfer.moc"
