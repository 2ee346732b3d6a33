#pragma once

#include "tftp/transferresult.h"

#include <QByteArrayView>

namespace Tftp {

// One datagram to send, in two parts so that a DATA packet's payload can be a
// view into the image rather than a copy. Requests, acknowledgements and
// errors are all header.
struct OutgoingDatagram
{
    QByteArrayView header;
    QByteArrayView payload;

    qsizetype size() const { return header.size() + payload.size(); }
};

// What a transfer state machine asks of whoever carries its datagrams. The
// datagrams are the state machine's own and stay valid until it is next
// called.
struct TransferStep
{
    enum Action {
        Send, // send the datagrams in order, then await a reply for waitMs
        SendLast, // send the datagrams; the transfer has then succeeded
        Await, // send nothing; await the next datagram for waitMs
        KeepWaiting, // what came changes nothing; the same wait goes on
        Finish, // send the datagrams, if any, without minding failure; the transfer has ended with result
    };

    Action action = KeepWaiting;
    const OutgoingDatagram *datagrams = nullptr;
    qsizetype datagramCount = 0;
    int waitMs = 0;
    // For new DATA: the bytes written once it is sent, headers included.
    qint64 progress = -1;
    // The end, for Finish and SendLast; the options in use, for Send.
    TransferResult result;

    static TransferStep keepWaiting() { return {}; }
    static TransferStep await(int waitMs)
    {
        TransferStep step;
        step.action = Await;
        step.waitMs = waitMs;
        return step;
    }
    static TransferStep finish(TransferResult result)
    {
        TransferStep step;
        step.action = Finish;
        step.result = std::move(result);
        return step;
    }
};

} // namespace Tftp
