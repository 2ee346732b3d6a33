#include "tftp/tftppacket.h"

#include <QTest>

using namespace Tftp;

class PacketsTest : public QObject
{
    Q_OBJECT

private slots:
    void requests();
    void replies_data();
    void replies();
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

// What each side makes of a datagram, read alone, as "kind number text" and
// "kind block byte payload".
QString writeSide(QByteArrayView datagram)
{
    const WriteReply reply = parseWriteReply(datagram);
    return QStringLiteral("%1 %2 %3").arg(reply.kind).arg(reply.number).arg(reply.errorText);
}

QString readSide(QByteArrayView datagram)
{
    const ReadReply reply = parseReadReply(datagram);
    return QStringLiteral("%1 %2 %3 %4 %5").arg(reply.kind).arg(reply.block).arg(int(quint8(reply.byte)))
            .arg(QString::fromLatin1(reply.payload.toByteArray()), reply.errorText);
}

// A field a datagram lacks is never read: each datagram is copied to a buffer
// that ends exactly where it ends, so that a read past it shows up under the
// sanitizers.
void PacketsTest::replies_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("write");
    QTest::addColumn<QString>("read");
    const auto row = [](const char *tag, const QByteArray &datagram, const char *write, const char *read) {
        QTest::newRow(tag) << datagram << QString::fromUtf8(write) << QString::fromUtf8(read);
    };
    row("empty", {}, "5 0 ", "2 0 0  ");
    row("one byte", QByteArray(1, 0), "5 0 ", "2 0 0  ");
    row("ack 65535 with a trailing byte", QByteArray::fromHex("0004ffff00"), "0 65535 ", "3 65535 4  ");
    row("data 128", QByteArray::fromHex("00030080616263"), "3 3 ", "0 128 0 abc ");
    row("bare oack", QByteArray::fromHex("0006"), "1 0 ", "2 0 0  ");
    row("error text ends at its zero", QByteArrayLiteral("\0\5\0\2Denied\0junk"), "2 2 Denied", "3 2 5  Denied");
    row("error without zero, in UTF-8", QByteArrayLiteral("\0\5\1\0D\xc3\xa9j\xc3\xa0"), "2 256 D\u00e9j\u00e0", "3 256 5  D\u00e9j\u00e0");
    row("error without code", QByteArray::fromHex("000500"), "5 0 ", "2 0 0  ");
    row("bad first byte", QByteArray::fromHex("ff"), "5 0 ", "1 0 255  ");
}

void PacketsTest::replies()
{
    QFETCH(QByteArray, datagram);
    const QByteArray exact(datagram.constData(), datagram.size());
    QTEST(writeSide(exact), "write");
    QTEST(readSide(exact), "read");
}

QTEST_APPLESS_MAIN(PacketsTest)
#include "tst_packets.moc"
