#pragma once

#include "tftp/transferpolicy.h"
#include "tftp/transferstep.h"

#include <QByteArray>
#include <QString>

namespace Tftp {

// The upload of one image held in memory: a write request with the tsize
// option, then lock-step 512-byte blocks, each sent once the previous one is
// acknowledged. It only decides; whoever runs it carries the datagrams and
// keeps the time.
class WriteTransfer
{
public:
    // A bypassable image is one the device may refuse because it runs it
    // already; such a refusal of the request counts as success.
    WriteTransfer(const QString &fileName, QByteArray image, bool bypassable, TransferPolicy policy = {});

    // The write request, or the end when the image cannot be sent.
    TransferStep start();
    TransferStep received(QByteArrayView datagram);
    TransferStep timedOut();
    // The datagram of the last step could not be sent.
    TransferStep notSent() const;

private:
    TransferStep acknowledged();
    TransferStep ignoredRepeat() const;

    QString m_fileName;
    QByteArray m_image;
    bool m_bypassable;
    TransferPolicy m_policy;

    // The number of the last DATA block sent, 0 before the first; its low 16
    // bits go on the wire.
    quint32 m_blockCounter = 0;
    bool m_lastBlockSent = false;
    int m_retriesLeft = 0;
    qint64 m_bytesSent = 0;
    QByteArray m_packet; // the last packet sent, for a retransmission
};

} // namespace Tftp
