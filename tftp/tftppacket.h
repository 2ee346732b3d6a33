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
constexpr int ReplyTimeoutMs = 10000;

QByteArray writeRequest(const QString &fileName, qsizetype imageSize);
QByteArray readRequest(const QString &fileName);
QByteArray acknowledgement(quint16 block);

// Block k (from 1) of an image: its bytes from (k - 1) * 512, at most 512.
QByteArrayView blockPayload(QByteArrayView image, quint32 block);
// Replaces packet's content with a DATA packet; reuses its allocation.
void fillDataPacket(QByteArray &packet, quint16 block, QByteArrayView payload);

// A datagram received while uploading, against the block number awaited.
struct WriteReply
{
    enum Kind {
        Acknowledged, // ACK of the awaited block, or an OACK
        ErrorPacket, // the server refused; message holds "Protocol Error: ..."
        Rejected, // anything else; message says what was wrong
    };
    Kind kind;
    QString message;
};
WriteReply classifyWriteReply(QByteArrayView datagram, quint16 expectedBlock);

// A datagram received while downloading, against the block number awaited.
struct ReadReply
{
    enum Kind { DataBlock, Rejected };
    Kind kind;
    QByteArrayView payload; // DataBlock: points into the datagram
    bool lastBlock = false;
    QString message; // Rejected: what was wrong
};
ReadReply classifyReadReply(QByteArrayView datagram, quint16 expectedBlock);

} // namespace Tftp
