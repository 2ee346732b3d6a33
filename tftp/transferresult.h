#pragma once

#include <QString>

namespace Tftp {

// How a transfer ended, with the details a status text needs.
struct TransferResult
{
    enum Outcome {
        Delivered, // the last block was acknowledged
        Bypassed, // the device refused an application image it already runs
        ImageTooLarge, // number: the image size
        BindFailed, // text: the socket's error
        HostNotFound, // text: the name looked up
        RequestNotSent, // text: the socket's error
        DataNotSent, // text: the socket's error
        AckNotSent, // text: the socket's error
        TimedOut, // text: the socket's error
        BlockMismatch, // number: the block received; expected: the one awaited
        UnexpectedPacket, // number: the opcode
        UnknownOpcode, // number: the opcode
        Refused, // number: the error code; text: the device's message
        InvalidFirstByte, // byte
        InvalidOpcode, // byte
        TruncatedPacket, // number: the datagram's size
        Stopped, // the caller asked the transfer to stop
    };

    TransferResult(Outcome how = Delivered) : outcome(how) { }

    Outcome outcome;
    qint64 number = 0;
    qint64 expected = 0;
    QString text;
    char byte = 0;
    // Bytes of DATA packets written, headers included.
    qint64 bytesSent = 0;

    bool succeeded() const { return outcome == Delivered || outcome == Bypassed; }
};

} // namespace Tftp
