#include "controller/statustext.h"
#include "tests/support/testfiles.h"
#include "tftp/readtransfer.h"
#include "tftp/tftppacket.h"
#include "tftp/writetransfer.h"

#include <QTest>

using namespace Tftp;

// The packets, then both transfer state machines, driven by scripts of what the device sends:
// "oack [NAME VALUE]..." (tsize alone by default), "ack N", "data N SIZE",
// "error CODE TEXT", "timeout", "stop", or raw hex. What the machine sends is
// written the same way ("wrq SIZE [NAME VALUE]...", "rrq [NAME VALUE]...",
// "data N SIZE", "ack N", "error CODE"), a wait other than the first one
// after "@", and the run's end as the status line would show it, with the
// block size and window run with when they are not 512 and 1.

namespace {

const TransferPolicy strict;
const TransferPolicy resilient{ 2, 500 };
const TransferPolicy telling{ 0, 500, true };
const TransferOptions none;
const TransferOptions big{ 1024, std::nullopt };
const TransferOptions windowed{ std::nullopt, 4 };
const TransferOptions both{ 1024, 4 };

QByteArray number(int value)
{
    return QByteArray(1, char(value >> 8)) + char(value);
}

QByteArray datagram(const QString &token)
{
    const QStringList words = token.split(u' ');
    if (words[0] == u"oack")
        return number(OptionAcknowledgement) + (words.size() == 1 ? QByteArray("tsize 0") : words.mid(1).join(u' ').toLatin1()).replace(' ', '\0') + '\0';
    if (words[0] == u"ack")
        return number(Acknowledgement) + number(words[1].toInt());
    if (words[0] == u"data")
        return number(Data) + number(words[1].toInt()) + testImage(words[2].toInt());
    if (words[0] == u"error")
        return number(Error) + number(words[1].toInt()) + words.mid(2).join(u' ').toUtf8() + '\0';
    return QByteArray::fromHex(token.toLatin1());
}

// A DATA packet must carry exactly its block of the image, in blocks of the
// size of the first one.
QString describe(const QByteArray &sent, const QByteArray &uploaded, qsizetype &blockSize)
{
    const int opcode = (quint8(sent[0]) << 8) | quint8(sent[1]);
    const int block = (quint8(sent[2]) << 8) | quint8(sent[3]);
    QByteArrayList fields = sent.mid(2).split('\0');
    fields.removeLast();
    switch (opcode) {
    case ReadRequest:
        return QString::fromLatin1("rrq " + fields.mid(2).join(' ')).trimmed();
    case WriteRequest:
        return QString::fromLatin1("wrq " + fields.mid(3).join(' '));
    case Acknowledgement:
        return QStringLiteral("ack %1").arg(block);
    case Error:
        return QStringLiteral("error %1").arg(block);
    case Data:
        if (block == 1 && blockSize == 0)
            blockSize = qMax<qsizetype>(sent.size() - DataHeaderSize, 1);
        if (sent.mid(DataHeaderSize) != uploaded.mid((block - 1) * blockSize, blockSize))
            return QStringLiteral("data %1 with wrong bytes").arg(block);
        return QStringLiteral("data %1 %2").arg(block).arg(sent.size() - DataHeaderSize);
    }
    return QString::fromLatin1(sent.toHex());
}

// Plays the row's script and compares what goes out, and how the run ends,
// with the row's. The end is empty while the transfer still waits.
template<typename Transfer>
void play(Transfer &transfer, const QByteArray &uploaded = {})
{
    QFETCH(TransferPolicy, policy);
    QFETCH(QStringList, script);
    QStringList sent;
    QString end;
    qsizetype blockSize = 0;
    TransferStep step = transfer.start();
    for (qsizetype next = 0;; ++next) {
        for (qsizetype i = 0; i < step.datagramCount; ++i) {
            const OutgoingDatagram &datagram = step.datagrams[i];
            QString text = describe(datagram.header.toByteArray() + datagram.payload.toByteArray(), uploaded, blockSize);
            if (step.action == TransferStep::Send && step.waitMs != policy.replyTimeoutMs && i == 0)
                text += QStringLiteral(" @%1").arg(step.waitMs);
            sent << text;
        }
        const TransferResult &result = step.result;
        if (step.action == TransferStep::Finish || step.action == TransferStep::SendLast) {
            end = statusText(result);
            if (result.options.blockSize != 512 || result.options.windowSize != 1)
                end += QStringLiteral(" [%1/%2]").arg(result.options.blockSize).arg(result.options.windowSize);
            if (result.outcome == TransferResult::Bypassed && result.deviceError)
                end += QStringLiteral(" (bypassed: %1 %2)").arg(result.deviceError->code).arg(result.deviceError->text);
        }
        if (!end.isEmpty() || next == script.size())
            break;
        step = script[next] == u"timeout" ? transfer.timedOut()
                : script[next] == u"stop" ? transfer.stopped()
                                          : transfer.received(datagram(script[next]));
    }
    QTEST(sent, "sent");
    QTEST(end, "end");
}

void addColumns()
{
    QTest::addColumn<TransferPolicy>("policy");
    QTest::addColumn<TransferOptions>("options");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("end");
}

void row(const char *tag, TransferPolicy policy, TransferOptions options, int size, QStringList script,
         QStringList sent, const char *end)
{
    QTest::newRow(tag) << policy << options << size << script << sent << QString::fromUtf8(end);
}

} // namespace

Q_DECLARE_METATYPE(Tftp::TransferPolicy)
Q_DECLARE_METATYPE(Tftp::TransferOptions)

class TransfersTest : public QObject
{
    Q_OBJECT

private slots:
    // The packets a transfer sends, byte for byte.
    void packets()
    {
        QCOMPARE(writeRequest(QStringLiteral("a.bin"), 1000),
                 QByteArray("\x00\x02" "a.bin\0" "octet\0" "tsize\0" "1000\0", 25));
        QCOMPARE(readRequest(QStringLiteral("a.bin")), QByteArray("\x00\x01" "a.bin\0" "octet\0", 14));
        QCOMPARE(errorPacket(8, "Options refused"), QByteArray("\x00\x05\x00\x08" "Options refused\0", 20));
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

    void upload_data()
    {
        addColumns();
        // An application image: the device refuses one it already runs when it
        // reads the request. A refusal after data means it did not arrive whole.
        row("bypass: refused request", strict, none, 700, { "error 2 exists" }, { "wrq 700" }, "No Error (bypassed: 2 exists)");
        // ERROR 8 to a request that asked for options refuses the options.
        row("bypass: options refused", strict, big, 700, { "error 8 no options" }, { "wrq 700 blksize 1024" }, "Protocol Error: 8 no options");
        row("bypass: refused after data", strict, none, 700, { "oack", "error 3 Disk full" }, { "wrq 700", "data 1 512" }, "Protocol Error: 3 Disk full");
        row("bypass: refused after resent request", resilient, none, 700, { "timeout", "error 2 exists" }, { "wrq 700", "wrq 700 @1000" }, "No Error (bypassed: 2 exists)");
        row("empty image", strict, none, 0, { "oack", "ack 1" }, { "wrq 0", "data 1 0" }, "No Error");
        row("512 bytes, no options", strict, none, 512, { "ack 0", "ack 1", "ack 2" }, { "wrq 512", "data 1 512", "data 2 0" }, "No Error");
        row("1000 bytes", strict, none, 1000, { "oack", "ack 1", "ack 2" }, { "wrq 1000", "data 1 512", "data 2 488" }, "No Error");
        row("awaits ack 1", strict, none, 200000, { "oack blksize 8" }, { "wrq 200000", "data 1 512" }, "");
        // A server that missed DATA 1 re-sends its OACK: never an acknowledgement.
        row("oack re-sent after data 1", strict, none, 1500, { "oack", "oack" }, { "wrq 1500", "data 1 512" }, "Unexpected Packet Received: 6");
        row("duplicate ack", strict, none, 1500, { "ack 0", "ack 1", "ack 1" }, { "wrq 1500", "data 1 512", "data 2 512" }, "Error on incoming packet number 1 vs expected 2");
        row("ack ahead", strict, none, 1500, { "ack 1" }, { "wrq 1500" }, "Error on incoming packet number 1 vs expected 0");
        row("silence", strict, none, 10, { "oack", "timeout" }, { "wrq 10", "data 1 10" }, "No message received from host  ");
        row("error text with %1", strict, none, 10, { "error 0 50%1 done" }, { "wrq 10" }, "Protocol Error: 0 50%1 done");
        // The text ends at its zero byte, or with the datagram; it is UTF-8.
        row("error text, then bytes", strict, none, 10, { "00050002" "44656e696564" "00" "6a756e6b" }, { "wrq 10" }, "Protocol Error: 2 Denied");
        row("error text without zero", strict, none, 10, { "0005010044c3a96ac3a0" }, { "wrq 10" }, "Protocol Error: 256 D\u00e9j\u00e0");
        row("empty datagram", strict, none, 10, { "" }, { "wrq 10" }, "Truncated Packet Received: 0 bytes");
        row("rrq", strict, none, 10, { "000161626300" }, { "wrq 10" }, "Unexpected Packet Received: 1");
        row("data", strict, none, 10, { "oack", "data 1 3" }, { "wrq 10", "data 1 10" }, "Unexpected Packet Received: 3");
        row("opcode 260", strict, none, 10, { "01040000" }, { "wrq 10" }, "Unknown Op Code: 260");
        row("short ack", strict, none, 10, { "000400" }, { "wrq 10" }, "Truncated Packet Received: 3 bytes");
        row("too large", strict, none, int(MaxImageSize) + 1, {}, {}, "Image too large to send: 33553920 bytes, the limit is 33553919 bytes");
        row("largest", strict, none, int(MaxImageSize), { "oack" }, { "wrq 33553919", "data 1 512" }, "");

        row("resent after silence", resilient, none, 100, { "oack", "timeout", "ack 1" }, { "wrq 100", "data 1 100", "data 1 100 @1000" }, "No Error");
        row("request resent", resilient, none, 0, { "timeout", "oack", "ack 1" }, { "wrq 0", "wrq 0 @1000", "data 1 0" }, "No Error");
        // Repeats are not answered: our own time-out sends the block again.
        row("oack repeated", resilient, none, 100, { "oack", "oack", "timeout", "ack 1" }, { "wrq 100", "data 1 100", "data 1 100 @1000" }, "No Error");
        row("acks of acknowledged blocks ignored", resilient, none, 1500, { "ack 0", "ack 1", "ack 1", "oack", "ack 0", "ack 2", "ack 3" }, { "wrq 1500", "data 1 512", "data 2 512", "data 3 476" }, "No Error");
        row("ack of a block not sent", resilient, none, 1500, { "ack 0", "ack 2" }, { "wrq 1500", "data 1 512" }, "Error on incoming packet number 2 vs expected 1");
        row("waits double until retries run out", resilient, none, 10, { "oack", "timeout", "timeout", "timeout" }, { "wrq 10", "data 1 10", "data 1 10 @1000", "data 1 10 @2000" }, "No message received from host  ");
        row("retries per block", resilient, none, 600, { "ack 0", "timeout", "timeout", "ack 1", "timeout", "ack 2" }, { "wrq 600", "data 1 512", "data 1 512 @1000", "data 1 512 @2000", "data 2 88", "data 2 88 @1000" }, "No Error");
        row("farewell when retries run out", telling, none, 10, { "oack", "timeout" }, { "wrq 10", "data 1 10", "error 0" }, "No message received from host  ");
        row("farewell when stopped", telling, none, 10, { "stop" }, { "wrq 10", "error 0" }, "Transfer stopped");
        row("no farewell after the device's error", telling, big, 10, { "error 8 no options" }, { "wrq 10 blksize 1024" }, "Protocol Error: 8 no options");

        // Options: the OACK decides, and what it leaves out stays at 512 and 1.
        row("options accepted", strict, both, 5000, { "oack tsize 5000 blksize 1024 windowsize 4", "ack 4", "ack 5" }, { "wrq 5000 blksize 1024 windowsize 4", "data 1 1024", "data 2 1024", "data 3 1024", "data 4 1024", "data 5 904" }, "No Error [1024/4]");
        row("lower block size accepted", strict, both, 1000, { "oack BLKSIZE 600", "ack 1", "ack 2" }, { "wrq 1000 blksize 1024 windowsize 4", "data 1 600", "data 2 400" }, "No Error [600/1]");
        row("plain ack 0: no options", strict, both, 600, { "ack 0", "ack 1", "ack 2" }, { "wrq 600 blksize 1024 windowsize 4", "data 1 512", "data 2 88" }, "No Error");
        row("block size larger than asked", telling, big, 10, { "oack blksize 1025" }, { "wrq 10 blksize 1024", "error 8" }, "Option negotiation failed: blksize 1025, asked for 1024");
        row("window of zero", strict, both, 10, { "oack windowsize 0" }, { "wrq 10 blksize 1024 windowsize 4" }, "Option negotiation failed: windowsize 0, asked for 4");
        row("option not asked for", strict, big, 10, { "oack windowsize 4" }, { "wrq 10 blksize 1024" }, "Option negotiation failed: windowsize 4, not asked for");
        row("malformed oack", strict, big, 10, { "0006626c6b73697a6500" }, { "wrq 10 blksize 1024" }, "Option negotiation failed: malformed option acknowledgement");
        row("too large for the block size accepted", telling, big, int(MaxImageSize) + 1, { "ack 0" }, { "wrq 33553920 blksize 1024", "error 8" }, "Image too large to send: 33553920 bytes, the limit is 33553919 bytes");
        row("too large even for the block size asked", strict, big, 1024 * 65535, {}, {}, "Image too large to send: 67107840 bytes, the limit is 67107839 bytes");

        // Windows: an ACK of any block of the window moves it to the block after.
        row("block lost in a window", strict, windowed, 3000, { "oack windowsize 4", "ack 2", "ack 6" }, { "wrq 3000 windowsize 4", "data 1 512", "data 2 512", "data 3 512", "data 4 512", "data 3 512", "data 4 512", "data 5 512", "data 6 440" }, "No Error [512/4]");
        row("old acks in a window ignored", strict, windowed, 2100, { "oack windowsize 4", "ack 4", "ack 4", "ack 2", "ack 5" }, { "wrq 2100 windowsize 4", "data 1 512", "data 2 512", "data 3 512", "data 4 512", "data 5 52" }, "No Error [512/4]");
        row("lost ack: window again", resilient, windowed, 1500, { "oack windowsize 4", "timeout", "ack 3" }, { "wrq 1500 windowsize 4", "data 1 512", "data 2 512", "data 3 476", "data 1 512 @1000", "data 2 512", "data 3 476" }, "No Error [512/4]");
    }

    void upload()
    {
        QFETCH(TransferPolicy, policy);
        QFETCH(TransferOptions, options);
        QFETCH(int, size);
        const QByteArray uploaded = testImage(size);
        const bool bypassable = QByteArray(QTest::currentDataTag()).startsWith("bypass");
        WriteTransfer transfer(QStringLiteral("7420-v1.bin"), uploaded, bypassable, policy, options);
        play(transfer, uploaded);
    }

    void download_data()
    {
        addColumns(); // size: the bytes the download ends with
        row("empty file", strict, none, 0, { "data 1 0" }, { "rrq", "ack 1" }, "No Error");
        row("512 bytes", strict, none, 512, { "data 1 512", "data 2 0" }, { "rrq", "ack 1", "ack 2" }, "No Error");
        row("block repeated, strict", strict, none, 512, { "data 1 512", "data 1 512" }, { "rrq", "ack 1" }, "Error on incoming packet number 1 vs expected 2");
        // An ERROR whose code is the awaited block number; its text is no data.
        row("error as block 1", strict, none, 0, { "error 1 File not found" }, { "rrq" }, "Incoming packet returned invalid operation code (\x05).");
        row("error 2", strict, none, 0, { "error 2 Access violation" }, { "rrq" }, "Error on incoming packet number 2 vs expected 1");
        row("first byte", strict, none, 0, { "41030001" }, { "rrq" }, "Incoming packet has invalid first byte (A).");
        row("header cut short", strict, none, 0, { "000300" }, { "rrq" }, "Truncated Packet Received: 3 bytes");
        row("silence", strict, none, 0, { "timeout" }, { "rrq" }, "No message received from host  ");
        // Our acknowledgement was lost: the server sends the block again.
        row("block repeated", resilient, none, 522, { "data 1 512", "data 1 512", "data 2 10" }, { "rrq", "ack 1", "ack 1", "ack 2" }, "No Error");
        row("request resent", resilient, none, 5, { "timeout", "data 1 5" }, { "rrq", "rrq @1000", "ack 1" }, "No Error");
        row("retries run out", resilient, none, 512, { "data 1 512", "timeout", "timeout", "timeout" }, { "rrq", "ack 1", "ack 1 @1000", "ack 1 @2000" }, "No message received from host  ");

        row("options accepted", strict, both, 2058, { "oack blksize 1024 windowsize 4", "data 1 1024", "data 2 1024", "data 3 10" }, { "rrq blksize 1024 windowsize 4", "ack 0", "ack 3" }, "No Error [1024/4]");
        row("options ignored", strict, both, 10, { "data 1 10" }, { "rrq blksize 1024 windowsize 4", "ack 1" }, "No Error");
        row("window size left out", strict, both, 1034, { "oack blksize 1024", "data 1 1024", "data 2 10" }, { "rrq blksize 1024 windowsize 4", "ack 0", "ack 1", "ack 2" }, "No Error [1024/1]");
        row("tsize not asked for", telling, both, 0, { "oack tsize 10" }, { "rrq blksize 1024 windowsize 4", "error 8" }, "Option negotiation failed: tsize 10, not asked for");
        row("every windowsize-th block", strict, windowed, 2560, { "oack windowsize 4", "data 1 512", "data 2 512", "data 3 512", "data 4 512", "data 5 512", "data 6 0" }, { "rrq windowsize 4", "ack 0", "ack 4", "ack 6" }, "No Error [512/4]");
        // A gap is answered once with the last block in order; the window
        // starts again after it.
        row("gap", strict, windowed, 1034, { "oack windowsize 4", "data 1 512", "data 3 512", "data 4 512", "data 2 512", "data 3 10" }, { "rrq windowsize 4", "ack 0", "ack 1", "ack 3" }, "No Error [512/4]");
        row("window repeated", resilient, windowed, 1024, { "oack windowsize 2", "data 1 512", "data 2 512", "data 1 512", "data 2 512", "timeout", "data 3 0" }, { "rrq windowsize 4", "ack 0", "ack 2", "ack 2", "ack 2 @1000", "ack 3" }, "No Error [512/2]");
    }

    void download()
    {
        QFETCH(TransferPolicy, policy);
        QFETCH(TransferOptions, options);
        QFETCH(int, size);
        QByteArray file("kept:");
        ReadTransfer transfer(QStringLiteral("file"), &file, policy, options);
        play(transfer);
        // Each block's bytes are testImage(its size) from offset 0.
        const int blockSize = options.blockSize.value_or(512);
        QByteArray expected("kept:");
        for (int left = size; left >= 0; left -= blockSize)
            expected += testImage(qMin(left, blockSize));
        QCOMPARE(file, expected);
    }
};

QTEST_APPLESS_MAIN(TransfersTest)
#include "tst_transfers.moc"
