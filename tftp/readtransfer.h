#pragma once

#include "tftp/transferpolicy.h"
#include "tftp/transferstep.h"

#include <QByteArray>
#include <QString>

namespace Tftp {

// The download of one file: a read request without options, then each DATA
// block acknowledged before the next is awaited, until a short block ends
// the file. Like the upload, it only decides.
class ReadTransfer
{
public:
    // Every accepted block's payload is appended to destination.
    ReadTransfer(const QString &fileName, QByteArray *destination, TransferPolicy policy = {});

    TransferStep start();
    TransferStep received(QByteArrayView datagram);
    TransferStep timedOut();
    TransferStep notSent() const;

private:
    QString m_fileName;
    QByteArray *m_destination;
    TransferPolicy m_policy;

    quint16 m_expectedBlock = 1;
    bool m_acknowledging = false; // past the request
    int m_retriesLeft = 0;
    QByteArray m_packet; // the last packet sent, for a retransmission
};

} // namespace Tftp
