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

// An ERROR packet's text: from offset 4 up to the first zero byte, as UTF-8.
QString errorText(QByteArrayView datagram)
{
    QByteArrayView text = datagram.sliced(4);
    if (const qsizetype end = text.indexOf('\0'); end >= 0)
        text.truncate(end);
    return QString::fromUtf8(text);
}

void appendOptions(QByteArray &packet, const TransferOptions &options)
{
    if (options.blockSize) {
        appendString(packet, "blksize");
        appendString(packet, QByteArray::number(*options.blockSize));
    }
    if (options.windowSize) {
        appendString(packet, "windowsize");
        appendString(packet, QByteArray::number(*options.windowSize));
    }
}

} // namespace

QByteArray writeRequest(const QString &fileName, qsizetype imageSize, const TransferOptions &options)
{
    QByteArray packet;
    appendNumber(packet, WriteRequest);
    appendString(packet, fileName.toLocal8Bit());
    appendString(packet, "octet");
    appendString(packet, "tsize");
    appendString(packet, QByteArray::number(imageSize));
    appendOptions(packet, options);
    return packet;
}

QByteArray readRequest(const QString &fileName, const TransferOptions &options)
{
    QByteArray packet;
    appendNumber(packet, ReadRequest);
    appendString(packet, fileName.toLocal8Bit());
    appendString(packet, "octet");
    appendOptions(packet, options);
    return packet;
}

QByteArray acknowledgement(quint16 block)
{
    QByteArray packet;
    appendNumber(packet, Acknowledgement);
    appendNumber(packet, block);
    return packet;
}

QByteArray errorPacket(quint16 code, QByteArrayView message)
{
    QByteArray packet;
    appendNumber(packet, Error);
    appendNumber(packet, code);
    appendString(packet, message);
    return packet;
}

QByteArrayView blockPayload(QByteArrayView image, quint32 block, qsizetype blockSize)
{
    const qsizetype offset = qsizetype(block - 1) * blockSize;
    if (block == 0 || offset > image.size())
        return {};
    return image.sliced(offset, qMin(blockSize, image.size() - offset));
}

void writeDataHeader(char *header, quint16 block)
{
    header[0] = 0;
    header[1] = char(Data);
    header[2] = char(block >> 8);
    header[3] = char(block & 0xff);
}

std::optional<QList<Option>> parseOptionAcknowledgement(QByteArrayView datagram)
{
    QList<Option> options;
    QByteArrayView rest = datagram.sliced(qMin<qsizetype>(2, datagram.size()));
    while (!rest.isEmpty()) {
        const qsizetype nameEnd = rest.indexOf('\0');
        const qsizetype valueEnd = nameEnd < 0 ? -1 : rest.indexOf('\0', nameEnd + 1);
        if (valueEnd < 0)
            return std::nullopt;
        options.append({ rest.first(nameEnd).toByteArray(), rest.sliced(nameEnd + 1, valueEnd - nameEnd - 1).toByteArray() });
        rest = rest.sliced(valueEnd + 1);
    }
    return options;
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
        return { WriteReply::Refused, numberAt(datagram, 2), errorText(datagram) };
    }
    default:
        return { WriteReply::UnknownOpcode, opcode, {} };
    }
}

ReadReply parseReadReply(QByteArrayView datagram)
{
    if (datagram.isEmpty())
        return { ReadReply::Truncated, 0, 0, {}, {} };
    if (datagram[0] != 0)
        return { ReadReply::InvalidFirstByte, 0, datagram[0], {}, {} };
    if (datagram.size() < DataHeaderSize)
        return { ReadReply::Truncated, 0, 0, {}, {} };
    const quint16 block = numberAt(datagram, 2);
    if (datagram[1] == char(Error))
        return { ReadReply::NotData, block, datagram[1], {}, errorText(datagram) };
    if (datagram[1] != char(Data))
        return { ReadReply::NotData, block, datagram[1], {}, {} };
    return { ReadReply::DataBlock, block, 0, datagram.sliced(DataHeaderSize), {} };
}

} // namespace Tftp
