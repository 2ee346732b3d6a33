#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Building and reading TFTP datagrams (RFC 1350, with the OACK of RFC 2347 and
// the tsize option of RFC 2349). Nothing here touches a socket, so every rule
// can be tested and fuzzed on plain bytes.
namespace Tftp {

enum Opcode : quint16 {
    ReadRequest = 1,
    WriteRequest = 2,
    Data = 3,
    Acknowledgement = 4,
    Error = 5,
    OptionAcknowledgement = 6,
};

constexpr qsizetype BlockSize = 512;
constexpr qsizetype DataHeaderSize = 4;
// Block numbers are 16 bits on the wire and the last block must be short, so
// the largest image fills 65,534 blocks and 511 bytes of the 65,535th.
constexpr qsizetype MaxImageSize = 65535 * BlockSize - 1;

QByteArray writeRequest(const QString &fileName, qsizetype imageSize);
QByteArray readRequest(const QString &fileName);
QByteArray acknowledgement(quint16 block);

// Block k (from 1) of an image: its bytes from (k - 1) * 512, at most 512.
QByteArrayView blockPayload(QByteArrayView image, quint32 block);
// Replaces packet's content with a DATA packet; reuses its allocation.
void fillDataPacket(QByteArray &packet, quint16 block, QByteArrayView payload);

// What a datagram received while uploading says, read without regard to what
// the transfer awaits. Fields a datagram lacks are never read.
struct WriteReply
{
    enum Kind {
        Acknowledged, // number: the block
        OptionsAcknowledged, // the options are not examined
        Refused, // an ERROR packet; number: its code
        Unexpected, // a request or DATA; number: the opcode
        UnknownOpcode, // number: the opcode
        Truncated, // too short for its opcode
    };
    Kind kind;
    quint16 number = 0;
    QString errorText; // Refused: up to the first zero byte, as UTF-8
};
WriteReply parseWriteReply(QByteArrayView datagram);

// What a datagram received while downloading says.
struct ReadReply
{
    enum Kind {
        DataBlock, // block and payload (pointing into the datagram)
        InvalidFirstByte, // byte: the first one
        Truncated, // shorter than a DATA header
        NotData, // block: bytes 2 and 3 whatever the opcode; byte: the second one
    };
    Kind kind;
    quint16 block = 0;
    char byte = 0;
    QByteArrayView payload;
};
ReadReply parseReadReply(QByteArrayView datagram);

} // namespace Tftp
