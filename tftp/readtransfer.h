#pragma once

#include "tftp/transferoptions.h"
#include "tftp/transferpolicy.h"
#include "tftp/transferstep.h"

#include <QByteArray>
#include <QString>

namespace Tftp {

// The download of one file: a read request (with the block size and window
// asked for, if any), then the file in blocks until a short one ends it.
// Every windowsize-th block and the last are acknowledged; by default that is
// every block, lock-step. Like the upload, it only decides.
class ReadTransfer
{
public:
    // Every accepted block's payload is appended to destination.
    ReadTransfer(const QString &fileName, QByteArray *destination, TransferPolicy policy = {},
                 TransferOptions options = {});

    TransferStep start();
    TransferStep received(QByteArrayView datagram);
    TransferStep timedOut();
    TransferStep stopped();
    TransferStep notSent() const;

private:
    TransferStep optionsAcknowledged(QByteArrayView datagram);
    TransferStep outOfOrder();
    TransferStep acknowledge(quint16 block, bool last);
    TransferStep abort(TransferResult result, quint16 errorCode, const char *message);
    TransferStep finish(TransferResult result) const;
    TransferStep send(TransferStep::Action action);

    QString m_fileName;
    QByteArray *m_destination;
    TransferPolicy m_policy;
    TransferOptions m_asked;
    NegotiatedOptions m_options;

    quint16 m_expectedBlock = 1;
    bool m_acknowledging = false; // past the request
    int m_blocksSinceAcknowledgement = 0;
    bool m_outOfOrderAcknowledged = false; // once per gap
    int m_attempt = 0;
    QByteArray m_packet; // the last packet sent, for a retransmission
    OutgoingDatagram m_outgoing;
};

} // namespace Tftp
