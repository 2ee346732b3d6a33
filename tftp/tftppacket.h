#pragma once

#include "tftp/transferoptions.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// Building and reading TFTP datagrams (RFC 1350, with the options of RFC 2347:
// tsize of RFC 2349, blksize of RFC 2348, windowsize of RFC 7440). Nothing here
// touches a socket, so every rule can be tested and fuzzed on plain bytes.
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
// the largest image fills 65,534 blocks and all but one byte of the 65,535th.
constexpr qsizetype maxImageSize(qsizetype blockSize)
{
    return 65535 * blockSize - 1;
}
constexpr qsizetype MaxImageSize = maxImageSize(BlockSize);

// A request asks for tsize (writes only) and for the options set.
QByteArray writeRequest(const QString &fileName, qsizetype imageSize, const TransferOptions &options = {});
QByteArray readRequest(const QString &fileName, const TransferOptions &options = {});
QByteArray acknowledgement(quint16 block);
QByteArray errorPacket(quint16 code, QByteArrayView message);

// Error codes of RFC 1350 and RFC 2347 that the client sends.
enum ErrorCode : quint16 {
    NotDefined = 0,
    OptionsRefused = 8,
};

// Block k (from 1) of an image: its bytes from (k - 1) * blockSize, at most
// blockSize.
QByteArrayView blockPayload(QByteArrayView image, quint32 block, qsizetype blockSize = BlockSize);
// The four bytes that go before a DATA packet's payload.
void writeDataHeader(char *header, quint16 block);

// An option of an OACK, name and value as sent.
struct Option
{
    QByteArray name;
    QByteArray value;
};
// The options an OACK carries, in order; nothing when it is malformed: a
// string without its zero byte, or a name without a value.
std::optional<QList<Option>> parseOptionAcknowledgement(QByteArrayView datagram);

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
    QString errorText; // NotData that is an ERROR packet: its text
};
ReadReply parseReadReply(QByteArrayView datagram);

} // namespace Tftp
