#include "tftp/tftppacket.h"

#include <QTest>

using namespace Tftp;

class PacketsTest : public QObject
{
    Q_OBJECT

private slots:
    void requests();
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
    QCOMPARE(errorPacket(8, "Options refused"), QByteArray("\x00\x05\x00\x08" "Options refused\0", 20));
    char header[4];
    writeDataHeader(header, 256);
    QCOMPARE(QByteArray(header, 4), QByteArray("\x00\x03\x01\x00", 4));
    // Options only when asked, after tsize.
    QCOMPARE(writeRequest(QStringLiteral("a"), 5, { 1428, 16 }),
             QByteArray("\x00\x02" "a\0" "octet\0" "tsize\0" "5\0" "blksize\0" "1428\0" "windowsize\0" "16\0", 45));
    QCOMPARE(readRequest(QStringLiteral("a"), { std::nullopt, 64 }), QByteArray("\x00\x01" "a\0" "octet\0" "windowsize\0" "64\0", 24));
    // An OACK is read whole or not at all.
    QCOMPARE(parseOptionAcknowledgement(QByteArrayLiteral("\0\6blksize\0" "8\0")).value().constFirst().value, "8");
    QVERIFY(parseOptionAcknowledgement(QByteArrayLiteral("\0\6")).value().isEmpty());
    QVERIFY(!parseOptionAcknowledgement(QByteArrayLiteral("\0\6blksize\0" "8")));
    QVERIFY(!parseOptionAcknowledgement(QByteArrayLiteral("\0\6blksize\0")));
}

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(digits);
}

// What a datagram says, read alone: a field the datagram lacks is never read.
void PacketsTest::writeReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("errorText");

    const auto row = [](const char *tag, const QByteArray &datagram, WriteReply::Kind kind, int number = 0,
                        const char *text = "") { QTest::newRow(tag) << datagram << int(kind) << number << QString::fromUtf8(text); };
    row("ack 128", hex("00040080"), WriteReply::Acknowledged, 128);
    row("ack 65535 with trailing bytes", hex("0004ffff00"), WriteReply::Acknowledged, 65535);
    row("oack", QByteArrayLiteral("\0\6tsize\0" "1000\0"), WriteReply::OptionsAcknowledged);
    row("bare oack", hex("0006"), WriteReply::OptionsAcknowledged);
    row("error text ends at its zero", QByteArrayLiteral("\0\5\0\2Denied\0junk"), WriteReply::Refused, 2, "Denied");
    row("error without zero", QByteArrayLiteral("\0\5\1\0Disk full"), WriteReply::Refused, 256, "Disk full");
    row("error without text", hex("00050003"), WriteReply::Refused, 3);
    row("error utf-8 text", QByteArrayLiteral("\0\5\0\0D\xc3\xa9j\xc3\xa0\0"), WriteReply::Refused, 0, "D\u00e9j\u00e0");
    row("wrq", hex("0002"), WriteReply::Unexpected, 2);
    row("opcode 0", hex("00000000"), WriteReply::UnknownOpcode, 0);
    row("opcode 260", hex("01040000"), WriteReply::UnknownOpcode, 260);
    row("empty", QByteArray(), WriteReply::Truncated);
    row("one byte", hex("00"), WriteReply::Truncated);
    row("ack with half a block", hex("000400"), WriteReply::Truncated);
    row("error without code", hex("000500"), WriteReply::Truncated);
}

void PacketsTest::writeReplies()
{
    QFETCH(QByteArray, datagram);
    // A copy that ends exactly where the datagram ends, so that a read past
    // it shows up under the sanitizers.
    const WriteReply reply = parseWriteReply(QByteArray(datagram.constData(), datagram.size()));
    QTEST(int(reply.kind), "kind");
    QTEST(int(reply.number), "number");
    QTEST(reply.errorText, "errorText");
}

void PacketsTest::readReplies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("block");
    QTest::addColumn<char>("byte");
    QTest::addColumn<QByteArray>("payload");

    const auto row = [](const char *tag, const QByteArray &datagram, ReadReply::Kind kind, int block, char byte = 0,
                        const QByteArray &payload = {}) { QTest::newRow(tag) << datagram << int(kind) << block << byte << payload; };
    row("empty block 1", hex("00030001"), ReadReply::DataBlock, 1);
    row("block 128", hex("00030080616263"), ReadReply::DataBlock, 128, 0, "abc");
    row("block 65535", hex("0003ffff") + QByteArray(512, 'x'), ReadReply::DataBlock, 65535, 0, QByteArray(512, 'x'));
    row("invalid first byte", hex("41030001"), ReadReply::InvalidFirstByte, 0, 'A');
    row("short with bad first byte", hex("ff"), ReadReply::InvalidFirstByte, 0, '\xff');
    row("error packet", QByteArrayLiteral("\0\5\0\1File not found\0"), ReadReply::NotData, 1, 5);
    row("empty", QByteArray(), ReadReply::Truncated, 0);
    row("header cut short", hex("000300"), ReadReply::Truncated, 0);
}

void PacketsTest::readReplies()
{
    QFETCH(QByteArray, datagram);
    const QByteArray exact(datagram.constData(), datagram.size());
    const ReadReply reply = parseReadReply(exact);
    QTEST(int(reply.kind), "kind");
    QTEST(int(reply.block), "block");
    QTEST(reply.byte, "byte");
    QTEST(reply.payload.toByteArray(), "payload");
}

QTEST_APPLESS_MAIN(PacketsTest)
#include "tst_packets.moc"
