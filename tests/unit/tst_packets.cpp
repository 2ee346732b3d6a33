#include "tftp/tftppacket.h"

#include <QTest>

using namespace Tftp;

class PacketsTest : public QObject
{
    Q_OBJECT

private slots:
    void requests()
    {
        QCOMPARE(writeRequest(QStringLiteral("a.bin"), 1000),
                 QByteArray("\x00\x02" "a.bin\0" "octet\0" "tsize\0" "1000\0", 25));
        QCOMPARE(readRequest(QStringLiteral("a.bin")), QByteArray("\x00\x01" "a.bin\0" "octet\0", 14));
        QCOMPARE(acknowledgement(0xff01), QByteArray("\x00\x04\xff\x01", 4));
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
};

QTEST_APPLESS_MAIN(PacketsTest)
#include "tst_packets.moc"
