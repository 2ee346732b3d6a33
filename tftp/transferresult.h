#pragma once

#include "tftp/transferoptions.h"

#include <QString>

#include <optional>

namespace Tftp {

// An ERROR packet the device sent: its code and its text.
struct DeviceError
{
    quint16 code = 0;
    QString text;
};

// How a transfer ended, with the details a status text needs.
struct TransferResult
{
    enum Outcome {
        Delivered, // the last block was acknowledged
        Bypassed, // the device refused an application image it already runs; deviceError: its words
        ImageTooLarge, // number: the image size; expected: the limit for the block size
        BindFailed, // text: the socket's error
        HostNotFound, // text: the name looked up
        NoReachableAddress, // text: the name looked up, whose addresses are all of the other IP version
        RequestNotSent, // text: the socket's error
        DataNotSent, // text: the socket's error
        AckNotSent, // text: the socket's error
        TimedOut, // text: the socket's error
        BlockMismatch, // number: the block received; expected: the one awaited
        UnexpectedPacket, // number: the opcode
        UnknownOpcode, // number: the opcode
        Refused, // deviceError: what the device said
        InvalidFirstByte, // byte
        InvalidOpcode, // byte
        TruncatedPacket, // number: the datagram's size
        OptionsRejected, // text: what was wrong with the device's option acknowledgement
        Stopped, // the caller asked the transfer to stop
    };

    TransferResult(Outcome how = Delivered, qint64 firstNumber = 0, qint64 secondNumber = 0)
        : outcome(how)
        , number(firstNumber)
        , expected(secondNumber)
    {
    }

    Outcome outcome;
    qint64 number = 0;
    qint64 expected = 0;
    QString text;
    char byte = 0;
    // Set whenever the transfer ended on the device's ERROR packet, whatever
    // the outcome says of it.
    std::optional<DeviceError> deviceError;
    // What the transfer ran with once the device had answered.
    NegotiatedOptions options;
    // Bytes of DATA packets written, headers included, each block counted once.
    qint64 bytesSent = 0;

    bool succeeded() const { return outcome == Delivered || outcome == Bypassed; }
    // The image bytes in bytesSent: every block but the last is full.
    qint64 payloadBytesSent() const
    {
        const qint64 packetSize = options.blockSize + 4;
        return bytesSent - 4 * ((bytesSent + packetSize - 1) / packetSize);
    }
    // Whether every block of an image of this size went out, the last one,
    // shorter than a full block, included.
    bool lastBlockSent(qint64 imageSize) const
    {
        return bytesSent == imageSize + 4 * (imageSize / options.blockSize + 1);
    }
};

} // namespace Tftp
