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
    QTest::newRow("one byte") << 1 << QList<int>{ 1 };
    QTest::newRow("511") << 511 << QList<int>{ 511 };
    QTest::newRow("512") << 512 << QList<int>{ 512, 0 };
    QTest::newRow("1000") << 1000 << QList<int>{ 512, 488 };
    QTest::newRow("1024") << 1024 << QList<int>{ 512, 512, 0 };
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

void PacketsTest::writeReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expectedBlock");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");

    const int ok = WriteReply::Acknowledged;
    const int error = WriteReply::ErrorPacket;
    const int rejected = WriteReply::Rejected;
    QTest::newRow("ack 0") << QByteArray::fromHex("00040000") << 0 << ok << QString();
    QTest::newRow("ack 128") << QByteArray::fromHex("00040080") << 128 << ok << QString();
    QTest::newRow("ack 65535") << QByteArray::fromHex("0004ffff") << 65535 << ok << QString();
    QTest::newRow("ack with trailing bytes") << QByteArray::fromHex("00040005ffff") << 5 << ok << QString();
    QTest::newRow("duplicate ack") << QByteArray::fromHex("00040004") << 5 << rejected
                                   << QStringLiteral("Error on incoming packet number 4 vs expected 5");
    QTest::newRow("oack") << QByteArray("\x00\x06tsize\0" "1000\0", 13) << 0 << ok << QString();
    QTest::newRow("bare oack") << QByteArray::fromHex("0006") << 7 << ok << QString();
    QTest::newRow("error") << QByteArray("\x00\x05\x00\x01" "File not found\0", 19) << 3 << error
                           << QStringLiteral("Protocol Error: 1 File not found");
    QTest::newRow("error text ends at its zero") << QByteArray("\x00\x05\x00\x02" "Denied\0junk", 15) << 0 << error
                                                 << QStringLiteral("Protocol Error: 2 Denied");
    QTest::newRow("error without zero") << QByteArray("\x00\x05\x01\x00" "Disk full", 13) << 0 << error
                                        << QStringLiteral("Protocol Error: 256 Disk full");
    QTest::newRow("error without text") << QByteArray::fromHex("00050003") << 0 << error
                                        << QStringLiteral("Protocol Error: 3 ");
    QTest::newRow("error utf-8 text") << QByteArray("\x00\x05\x00\x00" "D\xc3\xa9j\xc3\xa0\0", 11) << 0 << error
                                      << QStringLiteral("Protocol Error: 0 D\u00e9j\u00e0");
    QTest::newRow("rrq") << QByteArray::fromHex("000161626300") << 0 << rejected
                         << QStringLiteral("Unexpected Packet Received: 1");
    QTest::newRow("wrq") << QByteArray::fromHex("0002") << 0 << rejected
                         << QStringLiteral("Unexpected Packet Received: 2");
    QTest::newRow("data") << QByteArray::fromHex("00030001ff") << 1 << rejected
                          << QStringLiteral("Unexpected Packet Received: 3");
    QTest::newRow("opcode 0") << QByteArray::fromHex("00000000") << 0 << rejected
                              << QStringLiteral("Unknown Op Code: 0");
    QTest::newRow("opcode 7") << QByteArray::fromHex("00070000") << 0 << rejected
                              << QStringLiteral("Unknown Op Code: 7");
    QTest::newRow("opcode 260") << QByteArray::fromHex("01040000") << 0 << rejected
                                << QStringLiteral("Unknown Op Code: 260");
    QTest::newRow("empty") << QByteArray() << 0 << rejected << QStringLiteral("Truncated Packet Received: 0 bytes");
    QTest::newRow("one byte") << QByteArray::fromHex("00") << 0 << rejected
                              << QStringLiteral("Truncated Packet Received: 1 bytes");
    QTest::newRow("ack without block") << QByteArray::fromHex("0004") << 0 << rejected
                                       << QStringLiteral("Truncated Packet Received: 2 bytes");
    QTest::newRow("ack with half a block") << QByteArray::fromHex("000400") << 0 << rejected
                                           << QStringLiteral("Truncated Packet Received: 3 bytes");
    QTest::newRow("error without code") << QByteArray::fromHex("000500") << 0 << rejected
                                        << QStringLiteral("Truncated Packet Received: 3 bytes");
}

void PacketsTest::writeReplies()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expectedBlock);
    QFETCH(int, kind);
    QFETCH(QString, message);

    // Classify a copy that ends exactly where the datagram ends, so that a
    // read past it shows up under the sanitizers.
    const QByteArray exact(datagram.constData(), datagram.size());
    const WriteReply reply = classifyWriteReply(exact, quint16(expectedBlock));
    QCOMPARE(int(reply.kind), kind);
    QCOMPARE(reply.message, message);
}

void PacketsTest::readReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expectedBlock");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("lastBlock");

    const QByteArray full(512, 'x');
    QTest::newRow("empty last block") << QByteArray::fromHex("00030001") << 1 << QString() << QByteArray() << true;
    QTest::newRow("full block") << QByteArray::fromHex("00030002") + full << 2 << QString() << full << false;
    QTest::newRow("short block") << QByteArray::fromHex("00030080616263") << 128 << QString() << QByteArray("abc")
                                 << true;
    QTest::newRow("block 65535") << QByteArray::fromHex("0003ffff") + full << 65535 << QString() << full << false;
    QTest::newRow("invalid first byte") << QByteArray::fromHex("41030001") << 1
                                        << QStringLiteral("Incoming packet has invalid first byte (A).") << QByteArray()
                                        << false;
    QTest::newRow("wrong block") << QByteArray::fromHex("00030003") << 2
                                 << QStringLiteral("Error on incoming packet number 3 vs expected 2") << QByteArray()
                                 << false;
    // An ERROR whose code equals the awaited block passes the block test but
    // is still not data: its text must not be taken as file content.
    QTest::newRow("error packet") << QByteArray("\x00\x05\x00\x01" "File not found\0", 19) << 1
                                  << QStringLiteral("Incoming packet returned invalid operation code (\x05).")
                                  << QByteArray() << false;
    QTest::newRow("error with another code") << QByteArray("\x00\x05\x00\x02" "Denied\0", 11) << 1
                                             << QStringLiteral("Error on incoming packet number 2 vs expected 1")
                                             << QByteArray() << false;
    QTest::newRow("empty") << QByteArray() << 1 << QStringLiteral("Truncated Packet Received: 0 bytes")
                           << QByteArray() << false;
    QTest::newRow("header cut short") << QByteArray::fromHex("000300") << 1
                                      << QStringLiteral("Truncated Packet Received: 3 bytes") << QByteArray() << false;
    QTest::newRow("short with bad first byte") << QByteArray::fromHex("ff") << 1
                                               << QStringLiteral("Incoming packet has invalid first byte (\u00ff).")
                                               << QByteArray() << false;
}

void PacketsTest::readReplies()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expectedBlock);
    QFETCH(QString, message);
    QFETCH(QByteArray, payload);
    QFETCH(bool, lastBlock);

    const QByteArray exact(datagram.constData(), datagram.size());
    const ReadReply reply = classifyReadReply(exact, quint16(expectedBlock));
    QCOMPARE(reply.message, message);
    QCOMPARE(reply.kind, message.isEmpty() ? ReadReply::DataBlock : ReadReply::Rejected);
    QCOMPARE(reply.payload.toByteArray(), payload);
    QCOMPARE(reply.lastBlock, lastBlock);
}

QTEST_APPLESS_MAIN(PacketsTest)
#include "tst_packets.moc"
