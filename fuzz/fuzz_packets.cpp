#include "tftppacket.h"

#include <cstdlib>

// Feeds arbitrary datagrams to both classifiers and arbitrary names and sizes
// to the builders. libFuzzer hands over a buffer of exactly the input's size,
// so a read past a datagram's end is caught by AddressSanitizer.
namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

void classifyAsUpload(QByteArrayView datagram, quint16 expectedBlock)
{
    const Tftp::WriteReply reply = Tftp::classifyWriteReply(datagram, expectedBlock);
    check(reply.kind == Tftp::WriteReply::Acknowledged || !reply.message.isEmpty());
    if (reply.kind == Tftp::WriteReply::Acknowledged)
        check(datagram.size() >= 2 && datagram[0] == 0 && (datagram[1] == 4 || datagram[1] == 6));
}

void classifyAsDownload(QByteArrayView datagram, quint16 expectedBlock)
{
    const Tftp::ReadReply reply = Tftp::classifyReadReply(datagram, expectedBlock);
    if (reply.kind == Tftp::ReadReply::Rejected) {
        check(!reply.message.isEmpty() && reply.payload.isEmpty());
        return;
    }
    check(datagram.size() >= 4 && datagram[1] == 3);
    check(reply.payload == datagram.sliced(4));
    check(reply.lastBlock == (reply.payload.size() < Tftp::BlockSize));
}

void buildPackets(QByteArrayView bytes, quint16 number)
{
    const QString name = QString::fromUtf8(bytes);
    const QByteArray request = Tftp::writeRequest(name, number);
    check(request.startsWith(QByteArrayView("\0\2", 2)) && request.endsWith('\0'));
    check(Tftp::readRequest(name).startsWith(QByteArrayView("\0\1", 2)));

    // An image of the input's size, cut at an arbitrary block number: the
    // payload always lies within the image.
    const quint32 block = number % 8;
    const QByteArrayView payload = Tftp::blockPayload(bytes, block);
    check(payload.size() <= Tftp::BlockSize);
    check(payload.isEmpty() || (payload.data() >= bytes.data() && payload.data() + payload.size() <= bytes.data() + bytes.size()));
    QByteArray packet;
    Tftp::fillDataPacket(packet, quint16(block), payload);
    check(Tftp::classifyReadReply(packet, quint16(block)).payload == payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));
    const quint16 expectedBlock = size >= 2 ? quint16(data[size - 1] | (data[size - 2] << 8)) : 0;
    classifyAsUpload(input, expectedBlock);
    classifyAsDownload(input, expectedBlock);
    buildPackets(input, expectedBlock);
    return 0;
}
