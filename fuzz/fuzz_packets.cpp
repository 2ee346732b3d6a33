#include "tftp/readtransfer.h"
#include "tftp/tftppacket.h"
#include "tftp/writetransfer.h"

#include <QList>

#include <cstdlib>

// Feeds arbitrary datagrams to the parsers and to both transfer state
// machines, and arbitrary names and sizes to the builders. libFuzzer hands
// over a buffer of exactly the input's size, so a read past a datagram's end
// is caught by AddressSanitizer.
namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

// The input cut into datagrams at every "|", as a device might send them.
QList<QByteArrayView> datagrams(QByteArrayView input)
{
    QList<QByteArrayView> pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= input.size(); ++i) {
        if (i == input.size() || input[i] == '|') {
            pieces.append(input.sliced(start, i - start));
            start = i + 1;
        }
    }
    return pieces;
}

// Whatever arrives, an upload only ever sends its request, whole blocks of
// its image (no larger than asked for, or 512 bytes when the device declines),
// as views into the image, or an ERROR;
// and it succeeds only after a block shorter than the block size in use.
void upload(QByteArrayView input, Tftp::TransferPolicy policy, Tftp::TransferOptions options)
{
    const QByteArray image = input.first(qMin<qsizetype>(input.size(), 1500)).toByteArray();
    Tftp::WriteTransfer transfer(QStringLiteral("7420-v1.bin"), image, input.size() % 2 == 0, policy, options);
    Tftp::TransferStep step = transfer.start();
    qsizetype shortestPayload = Tftp::BlockSize * 128;
    for (const QByteArrayView datagram : datagrams(input)) {
        if (step.action == Tftp::TransferStep::Finish)
            break;
        for (qsizetype i = 0; i < step.datagramCount; ++i) {
            const QByteArrayView header = step.datagrams[i].header;
            const QByteArrayView payload = step.datagrams[i].payload;
            if (header.size() != Tftp::DataHeaderSize || header[1] != Tftp::Data)
                continue;
            check(payload.size() <= qMax(options.blockSize.value_or(Tftp::BlockSize), Tftp::BlockSize));
            check(payload.isEmpty() || (payload.data() >= image.data() && payload.data() + payload.size() <= image.data() + image.size()));
            shortestPayload = qMin(shortestPayload, payload.size());
        }
        step = datagram.isEmpty() ? transfer.timedOut() : transfer.received(datagram);
    }
    if (step.action == Tftp::TransferStep::Finish && step.result.outcome == Tftp::TransferResult::Delivered)
        check(shortestPayload < step.result.options.blockSize);
}

// A download appends a DATA block's payload whole or not at all: nothing
// else of a datagram reaches the file. A block longer than the block size in
// use is the device's to answer for, and is taken as it came.
void download(QByteArrayView input, Tftp::TransferPolicy policy, Tftp::TransferOptions options)
{
    QByteArray file;
    Tftp::ReadTransfer transfer(QStringLiteral("file"), &file, policy, options);
    Tftp::TransferStep step = transfer.start();
    for (const QByteArrayView datagram : datagrams(input)) {
        if (step.action == Tftp::TransferStep::Finish || step.action == Tftp::TransferStep::SendLast)
            break;
        const qsizetype before = file.size();
        step = datagram.isEmpty() ? transfer.timedOut() : transfer.received(datagram);
        check(file.size() == before
              || (datagram[1] == Tftp::Data && QByteArrayView(file).sliced(before) == datagram.sliced(Tftp::DataHeaderSize)));
    }
}

void buildPackets(QByteArrayView bytes, quint16 number)
{
    const QString name = QString::fromUtf8(bytes);
    const QByteArray request = Tftp::writeRequest(name, number);
    check(request.startsWith(QByteArrayView("\0\2", 2)) && request.endsWith('\0'));
    check(Tftp::readRequest(name).startsWith(QByteArrayView("\0\1", 2)));
    if (const auto options = Tftp::parseOptionAcknowledgement(bytes)) {
        for (const Tftp::Option &option : *options)
            check(!option.name.contains('\0') && !option.value.contains('\0'));
    }

    // An image of the input's size, cut at an arbitrary block number: the
    // payload always lies within the image.
    const quint32 block = number % 8;
    const QByteArrayView payload = Tftp::blockPayload(bytes, block);
    check(payload.size() <= Tftp::BlockSize);
    check(payload.isEmpty() || (payload.data() >= bytes.data() && payload.data() + payload.size() <= bytes.data() + bytes.size()));
    char header[Tftp::DataHeaderSize];
    Tftp::writeDataHeader(header, quint16(block));
    check(Tftp::parseReadReply(QByteArray(header, Tftp::DataHeaderSize) + payload.toByteArray()).payload == payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    // Strict and resilient lock-step, and small blocks in windows, so that
    // short inputs reach the end of an image.
    const Tftp::TransferOptions smallBlocksInWindows{ 16, 4 };
    for (const Tftp::TransferPolicy policy : { Tftp::TransferPolicy{}, Tftp::TransferPolicy{ 2, 10000, true } }) {
        for (const Tftp::TransferOptions &options : { Tftp::TransferOptions{}, smallBlocksInWindows }) {
            upload(input, policy, options);
            download(input, policy, options);
        }
    }
    buildPackets(input, size >= 2 ? quint16(data[size - 1] | (data[size - 2] << 8)) : 0);
    return 0;
}
