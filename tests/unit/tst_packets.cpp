#include "tftppacket.h"

#include <QTest>

using namespace Tftp;

class PacketsTest : public QObject
{
    Q_OBJECT

private slots:
    void requests();
    void dataBlocks_data();
    void dataBlocks();
    void writeReplies_data();
    void writeReplies();
    void readReplies_data();
    void readReplies();
};

void PacketsTest::requests()
{
    QCOMPARE(writeRequest(QStringLiteral("a.bin"), 1000),
             QByteArray("\x00\x02" "a.bin\0" "octet\0" "tsize\0" "1000\0", 25));
    QCOMPARE(writeRequest(QStringLiteral("done"), 0), QByteArray("\x00\x02" "done\0" "octet\0" "tsize\0" "0\0", 21));
    QCOMPARE(writeRequest(QStringLiteral("x"), MaxImageSize).mid(16), QByteArray("33553919\0", 9));
    QCOMPARE(readRequest(QStringLiteral("a.bin")), QByteArray("\x00\x01" "a.bin\0" "octet\0", 14));
    QCOMPARE(acknowledgement(256), QByteArray("\x00\x04\x01\x00", 4));
    QCOMPARE(acknowledgement(65535), QByteArray("\x00\x04\xff\xff", 4));
}

void PacketsTest::dataBlocks_data()
{
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QList<int>>("payloadSizes");

    QTest::newRow("empty") << 0 << QList<int>{ 0 };
    QTest::newRow("511") << 511 << QList<int>{ 511 };
    QTest::newRow("512") << 512 << QList<int>{ 512, 0 };
    QTest::newRow("1000") << 1000 << QList<int>{ 512, 488 };
}

// Cutting an image into blocks until the first short one must cover every
// byte once, in order, and end on a short (possibly empty) block.
void PacketsTest::dataBlocks()
{
    QFETCH(int, imageSize);
    QFETCH(QList<int>, payloadSizes);
    QByteArray image(imageSize, Qt::Uninitialized);
    for (int i = 0; i < imageSize; ++i)
        image[i] = char(i * 7);

    QByteArray reassembled;
    QList<int> sizes;
    QByteArray packet("stale content that must not survive");
    for (quint32 block = 1;; ++block) {
        const QByteArrayView payload = blockPayload(image, block);
        fillDataPacket(packet, quint16(block), payload);
        QCOMPARE(packet.size(), payload.size() + 4);
        QCOMPARE(packet.left(4), QByteArray::fromHex("0003") + char(block >> 8) + char(block & 0xff));
        reassembled += packet.mid(4);
        sizes << int(payload.size());
        if (payload.size() < BlockSize)
            break;
    }
    QCOMPARE(sizes, payloadSizes);
    QCOMPARE(reassembled, image);
}

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

void PacketsTest::writeReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expectedBlock");
    QTest::addColumn<QString>("message"); // none when acknowledged

    const auto row = [](const char *tag, const QByteArray &datagram, int block, const char *message = "") {
        QTest::newRow(tag) << datagram << block << QString::fromUtf8(message);
    };
    row("ack 0", hex("00040000"), 0);
    row("ack 128", hex("00040080"), 128);
    row("ack 65535", hex("0004ffff"), 65535);
    row("ack with trailing bytes", hex("00040005ffff"), 5);
    row("duplicate ack", hex("00040004"), 5, "Error on incoming packet number 4 vs expected 5");
    row("oack", QByteArrayLiteral("\0\6tsize\0" "1000\0"), 0);
    row("bare oack", hex("0006"), 7);
    row("error text ends at its zero", QByteArrayLiteral("\0\5\0\2Denied\0junk"), 0, "Protocol Error: 2 Denied");
    row("error without zero", QByteArrayLiteral("\0\5\1\0Disk full"), 0, "Protocol Error: 256 Disk full");
    row("error without text", hex("00050003"), 0, "Protocol Error: 3 ");
    row("error utf-8 text", QByteArrayLiteral("\0\5\0\0D\xc3\xa9j\xc3\xa0\0"), 0, "Protocol Error: 0 D\u00e9j\u00e0");
    row("rrq", hex("000161626300"), 0, "Unexpected Packet Received: 1");
    row("wrq", hex("0002"), 0, "Unexpected Packet Received: 2");
    row("data", hex("00030001ff"), 1, "Unexpected Packet Received: 3");
    row("opcode 0", hex("00000000"), 0, "Unknown Op Code: 0");
    row("opcode 7", hex("00070000"), 0, "Unknown Op Code: 7");
    row("opcode 260", hex("01040000"), 0, "Unknown Op Code: 260");
    row("empty", QByteArray(), 0, "Truncated Packet Received: 0 bytes");
    row("one byte", hex("00"), 0, "Truncated Packet Received: 1 bytes");
    row("ack with half a block", hex("000400"), 0, "Truncated Packet Received: 3 bytes");
    row("error without code", hex("000500"), 0, "Truncated Packet Received: 3 bytes");
}

void PacketsTest::writeReplies()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expectedBlock);
    QFETCH(QString, message);

    // Classify a copy that ends exactly where the datagram ends, so that a
    // read past it shows up under the sanitizers.
    const QByteArray exact(datagram.constData(), datagram.size());
    const WriteReply reply = classifyWriteReply(exact, quint16(expectedBlock));
    QCOMPARE(reply.message, message);
    QCOMPARE(reply.kind, message.isEmpty()                          ? WriteReply::Acknowledged
                         : message.startsWith(u"Protocol Error: ") ? WriteReply::ErrorPacket
                                                                   : WriteReply::Rejected);
}

void PacketsTest::readReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expectedBlock");
    QTest::addColumn<QString>("message"); // none for a data block
    QTest::addColumn<QByteArray>("payload");

    const auto row = [](const char *tag, const QByteArray &datagram, int block, const char *message,
                        const QByteArray &payload = {}) {
        QTest::newRow(tag) << datagram << block << QString::fromUtf8(message) << payload;
    };
    const QByteArray full(512, 'x');
    row("empty last block", hex("00030001"), 1, "");
    row("short block", hex("00030080616263"), 128, "", "abc");
    row("block 65535", hex("0003ffff") + full, 65535, "", full);
    row("invalid first byte", hex("41030001"), 1, "Incoming packet has invalid first byte (A).");
    row("wrong block", hex("00030003"), 2, "Error on incoming packet number 3 vs expected 2");
    // An ERROR whose code equals the awaited block passes the block test but
    // is still not data: its text must not be taken as file content.
    row("error packet", QByteArrayLiteral("\0\5\0\1File not found\0"), 1,
        "Incoming packet returned invalid operation code (\x05).");
    row("error with another code", QByteArrayLiteral("\0\5\0\2Denied\0"), 1,
        "Error on incoming packet number 2 vs expected 1");
    row("empty", QByteArray(), 1, "Truncated Packet Received: 0 bytes");
    row("header cut short", hex("000300"), 1, "Truncated Packet Received: 3 bytes");
    row("short with bad first byte", hex("ff"), 1, "Incoming packet has invalid first byte (\u00ff).");
}

void PacketsTest::readReplies()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expectedBlock);
    QFETCH(QString, message);
    QFETCH(QByteArray, payload);

    const QByteArray exact(datagram.constData(), datagram.size());
    const ReadReply reply = classifyReadReply(exact, quint16(expectedBlock));
    QCOMPARE(reply.message, message);
    QCOMPARE(reply.kind, message.isEmpty() ? ReadReply::DataBlock : ReadReply::Rejected);
    QCOMPARE(reply.payload.toByteArray(), payload);
    // Only a data block shorter than a full one ends the download.
    QCOMPARE(reply.lastBlock, message.isEmpty() && payload.size() < 512);
}

QTEST_APPLESS_MAIN(PacketsTest)
#include "tst_packets.moc"
