#include "transfertest.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;
using Action = ScriptedTftpServer::Action;

namespace {

const QByteArray readRequest = "\0\1file.bin\0octet\0"_ba;
const QByteArray kept = "kept\0"_ba; // in the destination before: a read appends

} // namespace

class ReadTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression(u"."_s)); }
    void download_data();
    void download();
    void irregularReply_data();
    void irregularReply();
    void silentServer();
    void unusableEndpoint_data();
    void unusableEndpoint();
};

void ReadTransferTest::download_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<Script>("script");

    QTest::newRow("empty") << 0 << Script{};
    QTest::newRow("512") << 512 << Script{};
    QTest::newRow("300 blocks") << 299 * 512 + 100 << Script{};
    QTest::newRow("DATA from a new port") << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} } };
    QTest::newRow("two port hops")
            << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} }, { 3, Action::ReplyFromNewPort, {} } };
    // Strays that would be taken for the awaited block if they were read.
    QTest::newRow("stray before block 1")
            << 3000 << Script{ { 0, Action::ReplyAfterStray, ScriptedTftpServer::data(1, "stray") } };
    QTest::newRow("stray before block 3")
            << 3000 << Script{ { 2, Action::ReplyAfterStray, ScriptedTftpServer::data(3, "stray") } };
}

// The file is appended whole, each block acknowledged once at the port it
// came from; a successful read shows no status and no progress.
void ReadTransferTest::download()
{
    QFETCH(int, size);
    QFETCH(Script, script);
    const QByteArray content = testImage(size);
    ScriptedTftpServer server;
    server.setFileContent(content);
    load(server, script);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    QByteArray destination = kept;

    QVERIFY(tftp.getByteArray(u"file.bin"_s, &destination));

    QCOMPARE(destination, kept + content);
    QByteArrayList expected{ readRequest };
    for (int block = 1; block <= size / 512 + 1; ++block)
        expected.append(ScriptedTftpServer::ack(quint16(block)));
    QTRY_COMPARE(sent(server, tftp.localPort()), expected); // the last ACK may still be on its way
    QCOMPARE(log.events, QStringList{ u"port %1"_s.arg(tftp.localPort()) });
}

void ReadTransferTest::irregularReply_data()
{
    QTest::addColumn<int>("datagram");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<QString>("status");

    const QByteArray payload(100, 'p');
    QTest::newRow("block 1 again") << 1 << ScriptedTftpServer::data(1, payload) << 512
                                   << u"Error on incoming packet number 1 vs expected 2"_s;
    QTest::newRow("block 128 for 1") << 0 << ScriptedTftpServer::data(128, payload) << 0
                                     << u"Error on incoming packet number 128 vs expected 1"_s;
    QTest::newRow("first byte 0xE9") << 0 << "\xe9\3\0\1"_ba + payload << 0
                                     << u"Incoming packet has invalid first byte (\u00e9)."_s;
    QTest::newRow("1 byte, not zero") << 0 << "B"_ba << 0 << u"Incoming packet has invalid first byte (B)."_s;
    // Its code matches the awaited block, so only the opcode test stops it,
    // before its text can land in the file.
    QTest::newRow("ERROR coded as the block") << 0 << ScriptedTftpServer::error(1, "File not found") << 0
                                              << u"Incoming packet returned invalid operation code (\x05)."_s;
    QTest::newRow("empty datagram") << 0 << QByteArray() << 0 << u"Truncated Packet Received: 0 bytes"_s;
    QTest::newRow("1 byte") << 1 << QByteArray(1, '\0') << 512 << u"Truncated Packet Received: 1 bytes"_s;
    QTest::newRow("3 bytes") << 0 << "\0\3\0"_ba << 0 << u"Truncated Packet Received: 3 bytes"_s;
}

// The first irregular datagram ends the download with its message; the
// destination holds the blocks accepted before it and nothing of it, and no
// acknowledgement follows it.
void ReadTransferTest::irregularReply()
{
    QFETCH(int, datagram);
    QFETCH(QByteArray, packet);
    QFETCH(int, accepted);
    QFETCH(QString, status);
    const QByteArray content = testImage(3000);
    ScriptedTftpServer server;
    server.setFileContent(content);
    server.script(datagram, Action::Send, packet);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    QByteArray destination;

    QCOMPARE(runInPool([&] { return tftp.getByteArray(u"file.bin"_s, &destination); }), 0);

    QCOMPARE(log.of(u"status"_s), QStringList{ status });
    QVERIFY(!log.offThread);
    QCOMPARE(destination, content.left(accepted));
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

    QVERIFY(!tftp.getByteArray(u"file.bin"_s, &destination));

    QVERIFY2(timer.elapsed() >= 10000 && timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tftp.errorString(), u"No message received from host  "_s + socketErrorText(u"127.0.0.1"_s));
    QCOMPARE(destination, content.left(512));
    QCOMPARE(sent(server, tftp.localPort()), (QByteArrayList{ readRequest, ScriptedTftpServer::ack(1) }));
}

void ReadTransferTest::unusableEndpoint_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("status");
    // The mapped form is valid IPv6 text that no IPv6 socket can bind to.
    QTest::newRow("bind fails") << u"::ffff:127.0.0.1"_s << u"127.0.0.1"_s << socketErrorText(u"::ffff:127.0.0.1"_s);
    QTest::newRow("request not sent") << u"127.0.0.1"_s << u"::1"_s
                                      << u"Did not send packet to host  "_s
                                                 + socketErrorText(u"127.0.0.1"_s, u"::1"_s);
}

// The socket's own reason is shown, with the port bound (0 when none was),
// and nothing lands in the destination.
void ReadTransferTest::unusableEndpoint()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QString, status);
    QTftp tftp;
    tftp.setLocalPort(4242);
    tftp.setLocalAddress(local);
    tftp.setRemoteAddress(remote);
    QByteArray destination;

    QVERIFY(!tftp.getByteArray(u"file.bin"_s, &destination));

    QCOMPARE(tftp.errorString(), status);
    QCOMPARE(tftp.localPort() == 0, !status.startsWith(u"Did not send"));
    QVERIFY(tftp.localPort() != 4242);
    QVERIFY(destination.isEmpty());
}

QTEST_GUILESS_MAIN(ReadTransferTest)
#include "tst_readtransfer.moc"
