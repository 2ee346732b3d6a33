#pragma once

#include <QtGlobal>

namespace Tftp {

// How a transfer copes with a lossy link. The default is strict lock-step:
// every reply is awaited once, nothing is sent twice, any irregular reply
// ends the transfer, and the device is never told that the client gave up.
struct TransferPolicy
{
    // Times the last packet (or window of packets) is sent again when its
    // reply does not come in time. With any retries, an acknowledgement of a
    // block already acknowledged is ignored rather than taken as an error, and
    // the transfer stays with the port the device first answered from.
    int retries = 0;
    // How long the first reply is awaited, in milliseconds. Each retry waits
    // twice as long as the one before, up to maxReplyWaitMs, so that the
    // client outlasts a device that re-sends only on its own timer.
    int replyTimeoutMs = 10000;
    // Whether giving up (a stop, retries used up, options refused) sends the
    // device an ERROR packet, so that it frees its session at once.
    bool tellDeviceOnAbort = false;

    static constexpr int maxReplyWaitMs = 60000;

    bool resilient() const { return retries > 0; }
    // The wait after the first sending of a packet (attempt 0) and after each
    // retry.
    int replyWaitMs(int attempt) const
    {
        qint64 wait = replyTimeoutMs;
        for (int i = 0; i < attempt && wait < maxReplyWaitMs; ++i)
            wait *= 2;
        return int(qMin<qint64>(wait, qMax(replyTimeoutMs, maxReplyWaitMs)));
    }
    // The longest a transfer waits for one reply, all its retries included.
    qint64 longestWaitMs() const
    {
        qint64 total = 0;
        for (int attempt = 0; attempt <= retries; ++attempt)
            total += replyWaitMs(attempt);
        return total;
    }
};

} // namespace Tftp
