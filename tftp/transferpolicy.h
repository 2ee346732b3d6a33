#pragma once

namespace Tftp {

// How a transfer copes with a lossy link. The default is strict lock-step:
// every reply is awaited once, nothing is sent twice, and any irregular reply
// ends the transfer.
struct TransferPolicy
{
    // Times the last packet is sent again when its reply does not come in
    // time. With any retries, a repeated acknowledgement of the previous block
    // is ignored rather than taken as an error, and the transfer stays with
    // the port the device first answered from.
    int retries = 0;
    // How long each reply is awaited, in milliseconds.
    int replyTimeoutMs = 10000;

    bool resilient() const { return retries > 0; }
};

} // namespace Tftp
