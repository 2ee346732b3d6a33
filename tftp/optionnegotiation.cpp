#include "tftp/optionnegotiation.h"

#include "tftp/tftppacket.h"

namespace Tftp {

namespace {

// A value is plain decimal digits; anything else reads as 0, which no option
// accepts.
int decimalValue(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 5)
        return 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9')
            return 0;
    }
    return text.toInt();
}

} // namespace

Negotiation negotiate(QByteArrayView optionAcknowledgement, const TransferOptions &asked, bool tsizeAsked)
{
    Negotiation result;
    const std::optional<QList<Option>> options = parseOptionAcknowledgement(optionAcknowledgement);
    if (!options) {
        result.failure = QStringLiteral("malformed option acknowledgement");
        return result;
    }
    QList<QByteArray> seen;
    for (const Option &option : *options) {
        const QByteArray name = option.name.toLower();
        const QString shown = QString::fromLatin1(option.name.left(20)) + u' ' + QString::fromLatin1(option.value.left(20));
        if (seen.contains(name)) {
            result.failure = shown + QStringLiteral(", acknowledged twice");
            return result;
        }
        seen.append(name);
        if (name == "tsize" && tsizeAsked)
            continue;
        const bool blockSize = name == "blksize";
        const std::optional<int> askedValue = blockSize ? asked.blockSize
                : name == "windowsize"                 ? asked.windowSize
                                                       : std::nullopt;
        if (!askedValue) {
            result.failure = shown + QStringLiteral(", not asked for");
            return result;
        }
        const int value = decimalValue(option.value);
        const int least = blockSize ? TransferOptions::minBlockSize : TransferOptions::minWindowSize;
        if (value < least || value > *askedValue) {
            result.failure = shown + QStringLiteral(", asked for %1").arg(*askedValue);
            return result;
        }
        (blockSize ? result.options.blockSize : result.options.windowSize) = value;
    }
    return result;
}

} // namespace Tftp
