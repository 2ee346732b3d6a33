#include "controller/statustext.h"

#include <algorithm>

using Tftp::TransferResult;

QString sendingFileText(const QString &fileName)
{
    return QStringLiteral("Sending file %1").arg(fileName);
}

QString statusText(const TransferResult &result)
{
    switch (result.outcome) {
    case TransferResult::Delivered:
    case TransferResult::Bypassed:
        return QStringLiteral("No Error");
    case TransferResult::ImageTooLarge:
        return QStringLiteral("Image too large to send: %1 bytes, the limit is %2 bytes")
                .arg(result.number)
                .arg(result.expected);
    case TransferResult::BindFailed:
        return result.text;
    case TransferResult::HostNotFound:
        return QStringLiteral("could not resolve host name %1").arg(result.text);
    case TransferResult::NoReachableAddress:
        return QStringLiteral("could not resolve host name %1 to an address of the local address's IP version")
                .arg(result.text);
    case TransferResult::RequestNotSent:
        return QStringLiteral("Did not send packet to host  %1").arg(result.text);
    case TransferResult::DataNotSent:
        return QStringLiteral("Did not send data packet to host  %1").arg(result.text);
    case TransferResult::AckNotSent:
        return QStringLiteral("Did not send ack packet to host  %1").arg(result.text);
    case TransferResult::TimedOut:
        return QStringLiteral("No message received from host  %1").arg(result.text);
    case TransferResult::BlockMismatch:
        return QStringLiteral("Error on incoming packet number %1 vs expected %2").arg(result.number).arg(result.expected);
    case TransferResult::UnexpectedPacket:
        return QStringLiteral("Unexpected Packet Received: %1").arg(result.number);
    case TransferResult::UnknownOpcode:
        return QStringLiteral("Unknown Op Code: %1").arg(result.number);
    case TransferResult::Refused: {
        // One call, so that a %1 in the device's text stays as it is.
        const Tftp::DeviceError error = result.deviceError.value_or(Tftp::DeviceError());
        return QStringLiteral("Protocol Error: %1 %2").arg(QString::number(error.code), error.text);
    }
    case TransferResult::InvalidFirstByte:
        return QStringLiteral("Incoming packet has invalid first byte (%1).").arg(QChar(QLatin1Char(result.byte)));
    case TransferResult::InvalidOpcode:
        return QStringLiteral("Incoming packet returned invalid operation code (%1).")
                .arg(QChar(QLatin1Char(result.byte)));
    case TransferResult::TruncatedPacket:
        return QStringLiteral("Truncated Packet Received: %1 bytes").arg(result.number);
    case TransferResult::OptionsRejected:
        return QStringLiteral("Option negotiation failed: %1").arg(result.text);
    case TransferResult::Stopped:
        return QStringLiteral("Transfer stopped");
    }
    return {};
}

QString verifyFailureText(const TransferResult &readBack, QByteArrayView stored, QByteArrayView image)
{
    if (readBack.deviceError) {
        return QStringLiteral("Verify refused: %1 %2")
                .arg(QString::number(readBack.deviceError->code), readBack.deviceError->text);
    }
    if (!readBack.succeeded())
        return QStringLiteral("Verify failed: ") + statusText(readBack);
    if (stored.size() != image.size())
        return QStringLiteral("Verify failed: %1 bytes read, %2 expected").arg(stored.size()).arg(image.size());
    const auto difference = std::mismatch(stored.cbegin(), stored.cend(), image.cbegin());
    if (difference.first != stored.cend())
        return QStringLiteral("Verify failed: byte %1 differs").arg(difference.first - stored.cbegin());
    return {};
}
