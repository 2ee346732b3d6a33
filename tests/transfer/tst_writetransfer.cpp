#include "transfertest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using Action = ScriptedTftpServer::Action;

namespace {

constexpr int largestImage = 33553919;

QByteArray writeRequest(const QByteArray &name, qsizetype size)
{
    return QByteArray("\0\2", 2) + name + QByteArray("\0octet\0tsize\0", 13) + QByteArray::number(size) + '\0';
}

int blockCount(qsizetype imageSize)
{
    return int(imageSize / 512 + 1);
}

// What is wrong with the DATA packets that followed the request, or nothing.
QString dataProblem(const QList<ScriptedTftpServer::Datagram> &received, const QByteArray &image)
{
    const int blocks = blockCount(image.size());
    if (received.size() != blocks + 1)
        return QStringLiteral("%1 datagrams, expected %2").arg(received.size()).arg(blocks + 1);
    for (int block = 1; block <= blocks; ++block) {
        const QByteArray &packet = received[block].bytes;
        if (packet.size() < 4 || packet[0] != 0 || packet[1] != 3 || blockOf(packet) != quint16(block))
            return QStringLiteral("datagram %1 is not DATA block %1: %2")
                    .arg(block)
                    .arg(QString::fromLatin1(packet.left(4).toHex(' ')));
        if (packet.mid(4) != image.mid(qsizetype(block - 1) * 512, 512))
            return QStringLiteral("block %1 carries %2 bytes of the wrong content").arg(block).arg(packet.size() - 4);
    }
    return {};
}

// What is wrong with the progress the window saw, or nothing: the size, then
// progress 0, then never backwards up to the exact final count.
QString progressProblem(const PropertyLog &log, int size, int finalProgress)
{
    if (log.sizes != QList<int>{ size })
        return QStringLiteral("fileSize changes: ") + log.events.join(QStringLiteral(", "));
    if (log.events.value(log.events.indexOf(QStringLiteral("size %1").arg(size)) + 1) != QStringLiteral("progress 0"))
        return QStringLiteral("no progress 0 right after the size: ") + log.events.join(QStringLiteral(", "));
    if (!std::is_sorted(log.progress.cbegin(), log.progress.cend()))
        return QStringLiteral("progress goes back");
    if (log.progress.constLast() != finalProgress)
        return QStringLiteral("progress ends at %1, not %2").arg(log.progress.constLast()).arg(finalProgress);
    return {};
}

} // namespace

class WriteTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void upload_data();
    void upload();
    void propertySequence_data();
    void propertySequence();
    void irregularReply_data();
    void irregularReply();
    void silentServer_data();
    void silentServer();
    void unresolvableHost_data();
    void unresolvableHost();
    void unusableEndpoint_data();
    void unusableEndpoint();
    void imageSizeLimit();
    void ipv6Loopback();
    void destroyWhileRunning_data();
    void destroyWhileRunning();
};

void WriteTransferTest::upload_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<Script>("script");

    QTest::newRow("empty") << 0 << Script{};
    QTest::newRow("1 byte") << 1 << Script{};
    QTest::newRow("511") << 511 << Script{};
    QTest::newRow("512") << 512 << Script{};
    QTest::newRow("513") << 513 << Script{};
    QTest::newRow("1000") << 1000 << Script{};
    QTest::newRow("1 MiB") << 1024 * 1024 << Script{};
    QTest::newRow("OACK to the request") << 1000 << Script{ { 0, Action::ReplyWithOack, {} } };
    QTest::newRow("bare OACK") << 1000 << Script{ { 0, Action::Send, QByteArray("\0\6", 2) } };
    QTest::newRow("answers from a new port") << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} } };
    QTest::newRow("two port hops")
            << 3000 << Script{ { 0, Action::ReplyFromNewPort, {} }, { 3, Action::ReplyFromNewPort, {} } };
    // Strays that would end the upload if they were taken.
    QTest::newRow("stray before ACK 0")
            << 3000 << Script{ { 0, Action::ReplyAfterStray, ScriptedTftpServer::error(2, "go away") } };
    QTest::newRow("stray before ACK 2")
            << 3000 << Script{ { 2, Action::ReplyAfterStray, ScriptedTftpServer::ack(3) } };
}

// The image arrives whole, cut into numbered blocks, and the window ends up
// with the full progress count: image size plus 4 per DATA packet.
void WriteTransferTest::upload()
{
    QFETCH(int, size);
    QFETCH(Script, script);
    ScriptedTftpServer server;
    load(server, script);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    const QByteArray image = testImage(size);

    QCOMPARE(runInPool([&] { return tftp.putByteArray(QStringLiteral("image.bin"), image); }), 1);

    QCOMPARE(tftp.errorString(), QStringLiteral("No Error"));
    const QList<ScriptedTftpServer::Datagram> received = server.received();
    QCOMPARE(received.value(0).bytes, writeRequest("image.bin", size));
    QCOMPARE(dataProblem(received, image), QString());
    QCOMPARE(server.uploaded(), image);
    QCOMPARE(portProblem(received, server.port(), tftp.localPort(), script), QString());
    QCOMPARE(server.straysSent(), countOf(script, Action::ReplyAfterStray));
    const int finalProgress = size + 4 * blockCount(size);
    QCOMPARE(tftp.fileSize(), size);
    QCOMPARE(tftp.fileProgress(), finalProgress);
    QCOMPARE(progressProblem(log, size, finalProgress), QString());
}

void WriteTransferTest::propertySequence_data()
{
    QTest::addColumn<bool>("onPool");
    QTest::newRow("worker thread") << true;
    QTest::newRow("controller thread") << false;
}

// The window sees the port, the note, the size and progress from 0, and the
// final status, in that order and on the controller's thread; run on the
// controller's own thread, the values are in place when the call returns.
void WriteTransferTest::propertySequence()
{
    QFETCH(bool, onPool);
    ScriptedTftpServer server;
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    const QByteArray image = testImage(100000);
    const auto transfer = [&] { return tftp.putByteArray(QStringLiteral("fw.bin"), image); };

    QVERIFY(onPool ? runInPool(transfer) == 1 : transfer());

    QVERIFY(!log.offThread);
    const quint16 clientPort = server.received().constFirst().senderPort;
    QCOMPARE(tftp.localPort(), clientPort);
    QCOMPARE(log.events.mid(0, 4),
             (QStringList{ QStringLiteral("port %1").arg(clientPort), QStringLiteral("status Sending file fw.bin"),
                           QStringLiteral("size 100000"), QStringLiteral("progress 0") }));
    QCOMPARE(log.events.constLast(), QStringLiteral("status No Error"));
    QCOMPARE(log.statuses.size(), 2);
    QCOMPARE(progressProblem(log, 100000, 100000 + 4 * 196), QString());
}

void WriteTransferTest::irregularReply_data()
{
    QTest::addColumn<int>("datagram");
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<bool>("bypassable");
    QTest::addColumn<QString>("status");

    const QByteArray refusal = ScriptedTftpServer::error(2, "Access violation");
    const QString refused = QStringLiteral("Protocol Error: 2 Access violation");
    const QString done = QStringLiteral("No Error");
    QTest::newRow("ERROR to the request") << 0 << refusal << false << refused;
    QTest::newRow("ERROR to the request, bypassable") << 0 << refusal << true << done;
    QTest::newRow("ERROR mid-file") << 3 << refusal << false << refused;
    QTest::newRow("ERROR mid-file, bypassable") << 3 << refusal << true << done;
    QTest::newRow("ERROR to the last block, bypassable") << 6 << refusal << true << done;
    QTest::newRow("ERROR text up to its zero")
            << 1 << QByteArray("\0\5\0\1first\0second\0", 17) << false << QStringLiteral("Protocol Error: 1 first");
    QTest::newRow("ERROR text in UTF-8") << 1 << ScriptedTftpServer::error(3, "Gr\xc3\xb6\xc3\x9f\x65") << false
                                         << QStringLiteral("Protocol Error: 3 Gr\u00f6\u00dfe");
    QTest::newRow("ERROR without text") << 1 << QByteArray("\0\5\1\0", 4) << false
                                        << QStringLiteral("Protocol Error: 256 ");

    QTest::newRow("duplicate ACK") << 5 << ScriptedTftpServer::ack(4) << false
                                   << QStringLiteral("Error on incoming packet number 4 vs expected 5");
    QTest::newRow("ACK 256 for 1") << 1 << ScriptedTftpServer::ack(256) << false
                                   << QStringLiteral("Error on incoming packet number 256 vs expected 1");
    QTest::newRow("RRQ") << 2 << QByteArray("\0\1x\0octet\0", 10) << false
                         << QStringLiteral("Unexpected Packet Received: 1");
    QTest::newRow("WRQ") << 2 << QByteArray("\0\2x\0octet\0", 10) << false
                         << QStringLiteral("Unexpected Packet Received: 2");
    QTest::newRow("DATA") << 2 << ScriptedTftpServer::data(2, "abc") << false
                          << QStringLiteral("Unexpected Packet Received: 3");
    QTest::newRow("opcode 0") << 1 << QByteArray("\0\0\0\1", 4) << false << QStringLiteral("Unknown Op Code: 0");
    QTest::newRow("opcode 7") << 1 << QByteArray("\0\7\0\1", 4) << false << QStringLiteral("Unknown Op Code: 7");
    // Would pass for ACK 1 if only the low byte of the opcode were read.
    QTest::newRow("opcode 260") << 1 << QByteArray("\1\4\0\1", 4) << false << QStringLiteral("Unknown Op Code: 260");
    // Even a bypassable file fails on a truncated ERROR: it is not an ERROR packet.
    QTest::newRow("empty datagram") << 1 << QByteArray() << true << QStringLiteral("Truncated Packet Received: 0 bytes");
    QTest::newRow("1 byte") << 1 << QByteArray(1, '\0') << false << QStringLiteral("Truncated Packet Received: 1 bytes");
    QTest::newRow("ACK of 2 bytes") << 1 << QByteArray("\0\4", 2) << false
                                    << QStringLiteral("Truncated Packet Received: 2 bytes");
    QTest::newRow("ACK of 3 bytes") << 1 << QByteArray("\0\4\0", 3) << false
                                    << QStringLiteral("Truncated Packet Received: 3 bytes");
    QTest::newRow("ERROR of 3 bytes") << 1 << QByteArray("\0\5\0", 3) << true
                                      << QStringLiteral("Truncated Packet Received: 3 bytes");
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
        QTftp::k_bypassableFiles.append(QStringLiteral("app_1.bin"));
    const auto cleanup = qScopeGuard([] { QTftp::k_bypassableFiles.removeAll(QStringLiteral("app_1.bin")); });
    ScriptedTftpServer server;
    server.script(datagram, Action::Send, packet);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);

    const bool result = tftp.putByteArray(QStringLiteral("App_1.BIN"), testImage(3000));

    QCOMPARE(result, status == QStringLiteral("No Error"));
    QCOMPARE(log.statuses, (QStringList{ QStringLiteral("Sending file App_1.BIN"), status }));
    QCOMPARE(server.received().size(), datagram + 1);
}

void WriteTransferTest::silentServer_data()
{
    QTest::addColumn<int>("silentAt");
    QTest::newRow("after the request") << 0;
    QTest::newRow("after block 2") << 2;
}

// One wait of ten seconds per reply, then failure: nothing is sent again.
void WriteTransferTest::silentServer()
{
    QFETCH(int, silentAt);
    ScriptedTftpServer server;
    server.script(silentAt, Action::Silence);
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);
    QElapsedTimer timer;
    timer.start();

    QCOMPARE(runInPool([&] { return tftp.putByteArray(QStringLiteral("fw.bin"), testImage(3000)); }), 0);

    QVERIFY2(timer.elapsed() >= 10000 && timer.elapsed() < 12000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tftp.errorString(), QStringLiteral("No message received from host  ") + timedOutText());
    QCOMPARE(log.sizes, QList<int>{ 3000 });
    const QList<ScriptedTftpServer::Datagram> received = server.received();
    QCOMPARE(received.size(), silentAt + 1);
    for (int block = 1; block <= silentAt; ++block)
        QCOMPARE(blockOf(received[block].bytes), quint16(block));
}

void WriteTransferTest::unresolvableHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("no such host") << QStringLiteral("host.invalid");
    QTest::newRow("empty") << QString();
}

// Nothing is sent, and the progress of the previous upload stays on show.
void WriteTransferTest::unresolvableHost()
{
    QFETCH(QString, host);
    ScriptedTftpServer server;
    QTftp tftp;
    pointAt(tftp, server);
    QVERIFY(tftp.putByteArray(QStringLiteral("first.bin"), testImage(1000)));
    PropertyLog log(tftp);
    tftp.setRemoteAddress(host);

    QVERIFY(!tftp.putByteArray(QStringLiteral("second.bin"), testImage(10)));

    QCOMPARE(log.statuses, (QStringList{ QStringLiteral("Sending file second.bin"),
                                         QStringLiteral("could not resolve host name ") + host }));
    QVERIFY(log.sizes.isEmpty());
    QVERIFY(log.progress.isEmpty());
    QCOMPARE(tftp.fileSize(), 1000);
    QCOMPARE(tftp.fileProgress(), 1008);
}

void WriteTransferTest::unusableEndpoint_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QStringList>("statuses");

    // The mapped form is valid IPv6 text that no IPv6 socket can bind to.
    QUdpSocket unbindable;
    unbindable.bind(QHostAddress(QStringLiteral("::ffff:127.0.0.1")), 0);
    QTest::newRow("bind fails") << QStringLiteral("::ffff:127.0.0.1") << QStringLiteral("127.0.0.1")
                                << QStringList{ unbindable.errorString() };
    QUdpSocket ipv4;
    ipv4.bind(QHostAddress(QHostAddress::LocalHost), 0);
    ipv4.writeDatagram("x", QHostAddress(QHostAddress::LocalHostIPv6), 9);
    QTest::newRow("request not sent")
            << QStringLiteral("127.0.0.1") << QStringLiteral("::1")
            << QStringList{ QStringLiteral("Sending file fw.bin"),
                            QStringLiteral("Did not send packet to host  ") + ipv4.errorString() };
}

// A socket that cannot be bound, or cannot reach the device, ends the upload
// with the socket's own reason before any progress is shown; the port shown
// is the one bound, 0 when none was.
void WriteTransferTest::unusableEndpoint()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(QStringList, statuses);
    QTftp tftp;
    tftp.setLocalPort(4242);
    tftp.setLocalAddress(local);
    tftp.setRemoteAddress(remote);
    PropertyLog log(tftp);

    QCOMPARE(runInPool([&] { return tftp.putByteArray(QStringLiteral("fw.bin"), testImage(10)); }), 0);

    QCOMPARE(log.statuses, statuses);
    QCOMPARE(tftp.errorString(), statuses.constLast());
    QVERIFY(log.sizes.isEmpty());
    QVERIFY(log.progress.isEmpty());
    QCOMPARE(tftp.localPort() == 0, statuses.size() == 1);
    QVERIFY(tftp.localPort() != 4242);
}

// 65,535 blocks is the most a 16-bit block number allows: one byte more is
// refused before anything is sent.
void WriteTransferTest::imageSizeLimit()
{
    ScriptedTftpServer server;
    QTftp tftp;
    pointAt(tftp, server);
    PropertyLog log(tftp);

    QVERIFY(!tftp.putByteArray(QStringLiteral("big.bin"), QByteArray(largestImage + 1, 'x')));
    QCOMPARE(tftp.errorString(),
             QStringLiteral("File big.bin is too large to send: 33553920 bytes, the limit is 33553919 bytes"));
    QVERIFY(log.sizes.isEmpty());

    const QByteArray image = testImage(largestImage);
    QCOMPARE(runInPool([&] { return tftp.putByteArray(QStringLiteral("big.bin"), image); }, 120000), 1);
    const QList<ScriptedTftpServer::Datagram> received = server.received();
    QCOMPARE(received.value(0).bytes, writeRequest("big.bin", largestImage));
    QCOMPARE(dataProblem(received, image), QString());
    QCOMPARE(received.constLast().bytes.size(), 4 + 511);
    QCOMPARE(blockOf(received.constLast().bytes), quint16(65535));
    QCOMPARE(progressProblem(log, largestImage, largestImage + 4 * 65535), QString());
}

void WriteTransferTest::ipv6Loopback()
{
    ScriptedTftpServer server{ QHostAddress(QHostAddress::LocalHostIPv6) };
    if (!server.isListening())
        QSKIP("no IPv6 loopback");
    QTftp tftp;
    pointAt(tftp, server, QStringLiteral("::1"));
    const QByteArray image = testImage(1000);

    QVERIFY(tftp.putByteArray(QStringLiteral("fw.bin"), image));
    QCOMPARE(server.uploaded(), image);
}

// Closing the window during an update stops the transfer promptly and leaves
// no thread behind that could still touch the controller.
void WriteTransferTest::destroyWhileRunning_data()
{
    QTest::addColumn<bool>("throughSendFile");
    QTest::newRow("started by sendFile") << true;
    QTest::newRow("started on a caller's thread") << false;
}

void WriteTransferTest::destroyWhileRunning()
{
    QFETCH(bool, throughSendFile);
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("fw.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(testImage(5000)) == 5000);
    file.close();
    ScriptedTftpServer server;
    server.script(0, Action::Silence);
    auto *tftp = new QTftp;
    pointAt(*tftp, server);

    QFuture<bool> ownTransfer;
    if (throughSendFile)
        QVERIFY(tftp->sendFile(QUrl::fromLocalFile(file.fileName())));
    else
        ownTransfer = QtConcurrent::run(&QTftp::putByteArray, tftp, QStringLiteral("fw.bin"), testImage(5000));
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
