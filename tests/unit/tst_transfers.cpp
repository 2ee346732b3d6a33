#include "controller/statustext.h"
#include "tftp/readtransfer.h"
#include "tftp/tftppacket.h"
#include "tftp/writetransfer.h"

#include <QTest>

using namespace Tftp;

// Both transfer state machines, driven by scripts of what the device sends:
// "oack", "ack N", "data N SIZE", "error CODE TEXT", "timeout", or raw hex.
// What the machine sends is written the same way ("wrq SIZE", "rrq", "data N
// SIZE", "ack N"), and the run's end as the status line would show it.

namespace {

const TransferPolicy strict;
const TransferPolicy resilient{ 2, 500 };

QByteArray image(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

QByteArray number(int value)
{
    const char bytes[] = { char(value >> 8), char(value & 0xff) };
    return QByteArray(bytes, 2);
}

QByteArray datagram(const QString &token)
{
    const QStringList words = token.split(u' ');
    if (words[0] == u"oack")
        return QByteArrayLiteral("\0\6tsize\0" "0\0");
    if (words[0] == u"ack")
        return number(Acknowledgement) + number(words[1].toInt());
    if (words[0] == u"data")
        return number(Data) + number(words[1].toInt()) + image(words[2].toInt());
    if (words[0] == u"error")
        return number(Error) + number(words[1].toInt()) + words.mid(2).join(u' ').toUtf8() + '\0';
    return QByteArray::fromHex(token.toLatin1());
}

// A DATA packet must carry exactly its block of the image.
QString describe(QByteArrayView sent, const QByteArray &uploaded)
{
    const int opcode = (quint8(sent[0]) << 8) | quint8(sent[1]);
    const int block = (quint8(sent[2]) << 8) | quint8(sent[3]);
    switch (opcode) {
    case ReadRequest:
        return QStringLiteral("rrq");
    case WriteRequest:
        return QStringLiteral("wrq ") + QString::fromLatin1(sent.toByteArray().split('\0').value(4));
    case Acknowledgement:
        return QStringLiteral("ack %1").arg(block);
    case Data:
        if (sent.sliced(DataHeaderSize) != blockPayload(uploaded, quint32(block)))
            return QStringLiteral("data %1 with wrong bytes").arg(block);
        return QStringLiteral("data %1 %2").arg(block).arg(sent.size() - DataHeaderSize);
    }
    return QString::fromLatin1(sent.toByteArray().toHex());
}

// Plays the script, noting what goes out. The end is empty while the
// transfer still waits.
template<typename Transfer>
std::pair<QStringList, QString> play(Transfer &transfer, const QStringList &script, const QByteArray &uploaded)
{
    QStringList sent;
    TransferStep step = transfer.start();
    for (qsizetype next = 0;; ++next) {
        if (step.action == TransferStep::Send || step.action == TransferStep::SendLast)
            sent << describe(step.datagram, uploaded);
        if (step.action == TransferStep::Finish)
            return { sent, statusText(step.result) };
        if (step.action == TransferStep::SendLast)
            return { sent, statusText({}) };
        if (next == script.size())
            return { sent, {} };
        step = script[next] == u"timeout" ? transfer.timedOut() : transfer.received(datagram(script[next]));
    }
}

void addColumns()
{
    QTest::addColumn<TransferPolicy>("policy");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("end");
}

} // namespace

Q_DECLARE_METATYPE(Tftp::TransferPolicy)

class TransfersTest : public QObject
{
    Q_OBJECT

private slots:
    void upload_data();
    void upload();
    void download_data();
    void download();
};

void TransfersTest::upload_data()
{
    addColumns();
    const auto row = [](const char *tag, TransferPolicy policy, int size, QStringList script, QStringList sent,
                        const char *end) { QTest::newRow(tag) << policy << size << script << sent << QString::fromUtf8(end); };
    // An application image: the device refuses one it already runs when it
    // reads the request. A refusal after data means it did not arrive whole.
    row("bypass: refused request", strict, 700, { "error 2 exists" }, { "wrq 700" }, "No Error");
    row("bypass: refused after data", strict, 700, { "oack", "error 3 Disk full" }, { "wrq 700", "data 1 512" }, "Protocol Error: 3 Disk full");
    row("bypass: refused after resent request", resilient, 700, { "timeout", "error 2 exists" }, { "wrq 700", "wrq 700" }, "No Error");
    row("empty image", strict, 0, { "oack", "ack 1" }, { "wrq 0", "data 1 0" }, "No Error");
    row("512 bytes, no options", strict, 512, { "ack 0", "ack 1", "ack 2" }, { "wrq 512", "data 1 512", "data 2 0" }, "No Error");
    row("1000 bytes", strict, 1000, { "oack", "ack 1", "ack 2" }, { "wrq 1000", "data 1 512", "data 2 488" }, "No Error");
    row("awaits ack 1", strict, 200000, { "oack" }, { "wrq 200000", "data 1 512" }, "");
    // A server that missed DATA 1 re-sends its OACK: never an acknowledgement.
    row("oack re-sent after data 1", strict, 1500, { "oack", "oack" }, { "wrq 1500", "data 1 512" }, "Unexpected Packet Received: 6");
    row("oack after data 2", strict, 1500, { "oack", "ack 1", "oack" }, { "wrq 1500", "data 1 512", "data 2 512" }, "Unexpected Packet Received: 6");
    row("duplicate ack", strict, 1500, { "ack 0", "ack 1", "ack 1" }, { "wrq 1500", "data 1 512", "data 2 512" }, "Error on incoming packet number 1 vs expected 2");
    row("ack ahead", strict, 1500, { "ack 1" }, { "wrq 1500" }, "Error on incoming packet number 1 vs expected 0");
    row("silence", strict, 10, { "oack", "timeout" }, { "wrq 10", "data 1 10" }, "No message received from host  ");
    row("error after data", strict, 1500, { "oack", "error 3 Disk full" }, { "wrq 1500", "data 1 512" }, "Protocol Error: 3 Disk full");
    row("error text with %1", strict, 10, { "error 0 50%1 done" }, { "wrq 10" }, "Protocol Error: 0 50%1 done");
    row("rrq", strict, 10, { "000161626300" }, { "wrq 10" }, "Unexpected Packet Received: 1");
    row("data", strict, 10, { "oack", "data 1 3" }, { "wrq 10", "data 1 10" }, "Unexpected Packet Received: 3");
    row("opcode 260", strict, 10, { "01040000" }, { "wrq 10" }, "Unknown Op Code: 260");
    row("short ack", strict, 10, { "000400" }, { "wrq 10" }, "Truncated Packet Received: 3 bytes");
    row("too large", strict, int(MaxImageSize) + 1, {}, {}, "Image too large to send: 33553920 bytes, the limit is 33553919 bytes");
    row("largest", strict, int(MaxImageSize), { "oack" }, { "wrq 33553919", "data 1 512" }, "");

    row("resent after silence", resilient, 100, { "oack", "timeout", "ack 1" }, { "wrq 100", "data 1 100", "data 1 100" }, "No Error");
    row("request resent", resilient, 0, { "timeout", "oack", "ack 1" }, { "wrq 0", "wrq 0", "data 1 0" }, "No Error");
    // Repeats are not answered: our own time-out sends the block again.
    row("oack repeated", resilient, 100, { "oack", "oack", "timeout", "ack 1" }, { "wrq 100", "data 1 100", "data 1 100" }, "No Error");
    row("duplicate ack ignored", resilient, 1000, { "ack 0", "ack 1", "ack 1", "ack 2" }, { "wrq 1000", "data 1 512", "data 2 488" }, "No Error");
    row("oack after data 2", resilient, 1500, { "oack", "ack 1", "oack" }, { "wrq 1500", "data 1 512", "data 2 512" }, "Unexpected Packet Received: 6");
    row("older ack", resilient, 1500, { "ack 0", "ack 1", "ack 0" }, { "wrq 1500", "data 1 512", "data 2 512" }, "Error on incoming packet number 0 vs expected 2");
    row("retries run out", resilient, 10, { "oack", "timeout", "timeout", "timeout" }, { "wrq 10", "data 1 10", "data 1 10", "data 1 10" }, "No message received from host  ");
    row("retries per block", resilient, 600, { "ack 0", "timeout", "timeout", "ack 1", "timeout", "timeout", "ack 2" },
        { "wrq 600", "data 1 512", "data 1 512", "data 1 512", "data 2 88", "data 2 88", "data 2 88" }, "No Error");
}

void TransfersTest::upload()
{
    QFETCH(TransferPolicy, policy);
    QFETCH(int, size);
    QFETCH(QStringList, script);
    const QByteArray uploaded = image(size);
    const bool bypassable = QByteArray(QTest::currentDataTag()).startsWith("bypass");
    WriteTransfer transfer(QStringLiteral("7420-v1.bin"), uploaded, bypassable, policy);

    const auto [sent, end] = play(transfer, script, uploaded);
    QTEST(sent, "sent");
    QTEST(end, "end");
}

void TransfersTest::download_data()
{
    addColumns(); // size: the bytes the download ends with
    const auto row = [](const char *tag, TransferPolicy policy, int size, QStringList script, QStringList sent,
                        const char *end) { QTest::newRow(tag) << policy << size << script << sent << QString::fromUtf8(end); };
    row("empty file", strict, 0, { "data 1 0" }, { "rrq", "ack 1" }, "No Error");
    row("512 bytes", strict, 512, { "data 1 512", "data 2 0" }, { "rrq", "ack 1", "ack 2" }, "No Error");
    row("1000 bytes", strict, 1000, { "data 1 512", "data 2 488" }, { "rrq", "ack 1", "ack 2" }, "No Error");
    row("block repeated, strict", strict, 512, { "data 1 512", "data 1 512" }, { "rrq", "ack 1" }, "Error on incoming packet number 1 vs expected 2");
    // An ERROR whose code is the awaited block number; its text is no data.
    row("error as block 1", strict, 0, { "error 1 File not found" }, { "rrq" }, "Incoming packet returned invalid operation code (\x05).");
    row("error 2", strict, 0, { "error 2 Access violation" }, { "rrq" }, "Error on incoming packet number 2 vs expected 1");
    row("first byte", strict, 0, { "41030001" }, { "rrq" }, "Incoming packet has invalid first byte (A).");
    row("header cut short", strict, 0, { "000300" }, { "rrq" }, "Truncated Packet Received: 3 bytes");
    row("silence", strict, 0, { "timeout" }, { "rrq" }, "No message received from host  ");
    // Our acknowledgement was lost: the server sends the block again.
    row("block repeated", resilient, 522, { "data 1 512", "data 1 512", "data 2 10" }, { "rrq", "ack 1", "ack 1", "ack 2" }, "No Error");
    row("request resent", resilient, 5, { "timeout", "data 1 5" }, { "rrq", "rrq", "ack 1" }, "No Error");
    row("retries run out", resilient, 512, { "data 1 512", "timeout", "timeout", "timeout" }, { "rrq", "ack 1", "ack 1", "ack 1" }, "No message received from host  ");
}

void TransfersTest::download()
{
    QFETCH(TransferPolicy, policy);
    QFETCH(int, size);
    QFETCH(QStringList, script);
    QByteArray file("kept:");
    ReadTransfer transfer(QStringLiteral("file"), &file, policy);

    const auto [sent, end] = play(transfer, script, {});
    QTEST(sent, "sent");
    QTEST(end, "end");
    // Block k's bytes are image(size) from offset 0 each time.
    QByteArray expected("kept:");
    for (int left = size; left >= 0; left -= 512) {
        expected += image(qMin(left, 512));
        if (left < 512)
            break;
    }
    QCOMPARE(file, expected);
}

QTEST_APPLESS_MAIN(TransfersTest)
#include "tst_transfers.moc"
