#pragma once

#include "tftp/transferresult.h"

#include <QByteArrayView>

namespace Tftp {

// What a transfer state machine asks of whoever carries its datagrams.
struct TransferStep
{
    enum Action {
        Send, // send datagram, then await the reply
        SendLast, // send datagram; the transfer has then succeeded
        KeepWaiting, // what came changes nothing; the same wait goes on
        Finish, // the transfer has ended with result
    };

    Action action;
    QByteArrayView datagram; // valid until the state machine is next called
    // For new DATA: the bytes written once it is sent, headers included.
    qint64 progress = -1;
    TransferResult result;

    static TransferStep send(QByteArrayView datagram, qint64 progress = -1) { return { Send, datagram, progress, {} }; }
    static TransferStep sendLast(QByteArrayView datagram) { return { SendLast, datagram, -1, {} }; }
    static TransferStep keepWaiting() { return { KeepWaiting, {}, -1, {} }; }
    static TransferStep finish(TransferResult result) { return { Finish, {}, -1, std::move(result) }; }
    static TransferStep failure(TransferResult::Outcome outcome, qint64 number = 0, qint64 expected = 0)
    {
        TransferResult result{ outcome };
        result.number = number;
        result.expected = expected;
        return finish(std::move(result));
    }
};

} // namespace Tftp
