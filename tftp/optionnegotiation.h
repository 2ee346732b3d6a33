#pragma once

#include "tftp/transferoptions.h"

#include <QByteArrayView>
#include <QString>

namespace Tftp {

// The device's answer to the options a request asked for. By RFC 2347 the
// device leaves out what it does not know and may lower a value, never raise
// it; anything else makes the answer unacceptable.
struct Negotiation
{
    NegotiatedOptions options;
    QString failure; // what was wrong, for the status text; empty when acceptable
};

// Checks an OACK against what the request asked: blksize and windowsize as
// set in asked, and on writes tsize, whose echo is not examined.
Negotiation negotiate(QByteArrayView optionAcknowledgement, const TransferOptions &asked, bool tsizeAsked);

} // namespace Tftp
