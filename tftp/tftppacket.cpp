#include "tftp/tftppacket.h"

namespace Tftp {

namespace {

void appendNumber(QByteArray &packet, quint16 value)
{
    packet.append(char(value >> 8));
    packet.append(char(value & 0xff));
}

quint16 numberAt(QByteArrayView datagram, qsizetype offset)
{
    return quint16((quint8(datagram[offset]) << 8) | quint8(datagram[offset + 1]));
}

void appendString(QByteArray &packet, QByteArrayView text)
{
    packet.append(text);
    packet.append('\0');
}

} // namespace

QByteArray writeRequest(const QString &fileName, qsizetype imageSize)
{
    QByteArray packet;
    appendNumber(packet, WriteRequest);
    appendString(packet, fileName.toLocal8Bit());
    appendString(packet, "octet");
    appendString(packet, "tsize");
    appendString(packet, QByteArray::number(imageSize));
    return packet;
}

QByteArray readRequest(const QString &fileName)
{
    QByteArray packet;
    appendNumber(packet, ReadRequest);
    appendString(packet, fileName.toLocal8Bit());
    appendString(packet, "octet");
    return packet;
}

QByteArray acknowledgement(quint16 block)
{
    QByteArray packet;
    appendNumber(packet, Acknowledgement);
    appendNumber(packet, block);
    return packet;
}

QByteArrayView blockPayload(QByteArrayView image, quint32 block)
{
    const qsizetype offset = qsizetype(block - 1) * BlockSize;
    if (block == 0 || offset > image.size())
        return {};
    return image.sliced(offset, qMin(BlockSize, image.size() - offset));
}

void fillDataPacket(QByteArray &packet, quint16 block, QByteArrayView payload)
{
    packet.resize(DataHeaderSize + payload.size());
    char *bytes = packet.data();
    bytes[0] = 0;
    bytes[1] = char(Data);
    bytes[2] = char(block >> 8);
    bytes[3] = char(block & 0xff);
    if (!payload.isEmpty())
        memcpy(bytes + DataHeaderSize, payload.data(), size_t(payload.size()));
}

WriteReply parseWriteReply(QByteArrayView datagram)
{
    if (datagram.size() < 2)
        return { WriteReply::Truncated, 0, {} };

    const quint16 opcode = numberAt(datagram, 0);
    switch (opcode) {
    case ReadRequest:
    case WriteRequest:
    case Data:
        return { WriteReply::Unexpected, opcode, {} };
    case OptionAcknowledgement:
        return { WriteReply::OptionsAcknowledged, 0, {} };
    case Acknowledgement:
        // A short ACK carries no block number; reading it as block 0 would
        // acknowledge the request.
        if (datagram.size() < 4)
            return { WriteReply::Truncated, 0, {} };
        return { WriteReply::Acknowledged, numberAt(datagram, 2), {} };
    case Error: {
        if (datagram.size() < 4)
            return { WriteReply::Truncated, 0, {} };
        QByteArrayView text = datagram.sliced(4);
        if (const qsizetype end = text.indexOf('\0'); end >= 0)
            text.truncate(end);
        return { WriteReply::Refused, numberAt(datagram, 2), QString::fromUtf8(text) };
    }
    default:
        return { WriteReply::UnknownOpcode, opcode, {} };
    }
}

ReadReply parseReadReply(QByteArrayView datagram)
{
    if (datagram.isEmpty())
        return { ReadReply::Truncated, 0, 0, {} };
    if (datagram[0] != 0)
        return { ReadReply::InvalidFirstByte, 0, datagram[0], {} };
    if (datagram.size() < DataHeaderSize)
        return { ReadReply::Truncated, 0, 0, {} };
    const quint16 block = numberAt(datagram, 2);
    if (datagram[1] != char(Data))
        return { ReadReply::NotData, block, datagram[1], {} };
    return { ReadReply::DataBlock, block, 0, datagram.sliced(DataHeaderSize) };
}

} // namespace Tftp
