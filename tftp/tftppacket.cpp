#include "tftppacket.h"

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

QString truncatedMessage(QByteArrayView datagram)
{
    return QStringLiteral("Truncated Packet Received: %1 bytes").arg(datagram.size());
}

QString blockMismatchMessage(quint16 received, quint16 expected)
{
    return QStringLiteral("Error on incoming packet number %1 vs expected %2").arg(received).arg(expected);
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

WriteReply classifyWriteReply(QByteArrayView datagram, quint16 expectedBlock)
{
    if (datagram.size() < 2)
        return { WriteReply::Rejected, truncatedMessage(datagram) };

    const quint16 opcode = numberAt(datagram, 0);
    switch (opcode) {
    case ReadRequest:
    case WriteRequest:
    case Data:
        return { WriteReply::Rejected, QStringLiteral("Unexpected Packet Received: %1").arg(opcode) };
    case OptionAcknowledgement:
        return { WriteReply::Acknowledged, {} };
    case Acknowledgement: {
        // A short ACK carries no block number; taking it as block 0 would
        // acknowledge the request.
        if (datagram.size() < 4)
            return { WriteReply::Rejected, truncatedMessage(datagram) };
        const quint16 block = numberAt(datagram, 2);
        if (block != expectedBlock)
            return { WriteReply::Rejected, blockMismatchMessage(block, expectedBlock) };
        return { WriteReply::Acknowledged, {} };
    }
    case Error: {
        if (datagram.size() < 4)
            return { WriteReply::Rejected, truncatedMessage(datagram) };
        QByteArrayView text = datagram.sliced(4);
        if (const qsizetype end = text.indexOf('\0'); end >= 0)
            text.truncate(end);
        return { WriteReply::ErrorPacket,
                 QStringLiteral("Protocol Error: %1 %2")
                         .arg(QString::number(numberAt(datagram, 2)), QString::fromUtf8(text)) };
    }
    default:
        return { WriteReply::Rejected, QStringLiteral("Unknown Op Code: %1").arg(opcode) };
    }
}

ReadReply classifyReadReply(QByteArrayView datagram, quint16 expectedBlock)
{
    const auto rejected = [](QString message) { return ReadReply{ ReadReply::Rejected, {}, false, message }; };

    if (datagram.isEmpty())
        return rejected(truncatedMessage(datagram));
    if (datagram[0] != 0)
        return rejected(QStringLiteral("Incoming packet has invalid first byte (%1).")
                                .arg(QChar(QLatin1Char(datagram[0]))));
    if (datagram.size() < DataHeaderSize)
        return rejected(truncatedMessage(datagram));
    const quint16 block = numberAt(datagram, 2);
    if (block != expectedBlock)
        return rejected(blockMismatchMessage(block, expectedBlock));
    if (datagram[1] != char(Data))
        return rejected(QStringLiteral("Incoming packet returned invalid operation code (%1).")
                                .arg(QChar(QLatin1Char(datagram[1]))));

    const QByteArrayView payload = datagram.sliced(DataHeaderSize);
    return { ReadReply::DataBlock, payload, payload.size() < BlockSize, {} };
}

} // namespace Tftp
