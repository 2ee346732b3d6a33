#pragma once

#include "tftp/transferoptions.h"
#include "tftp/transferpolicy.h"
#include "tftp/transferstep.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <vector>

namespace Tftp {

// The upload of one image held in memory: a write request with the tsize
// option (and the block size and window asked for, if any), then the image
// in blocks, a window of them at a time, each window sent once the device has
// acknowledged the one before. By default the window is one 512-byte block:
// lock-step.
//
// It only decides, and does no I/O: whoever runs it hands it what the device
// sent and when a wait ran out, sends the datagrams of each step it returns,
// and keeps the time. So every rule below can be driven by a table of
// datagrams, and fuzzed.
class WriteTransfer
{
public:
    // A bypassable image is one the device may refuse because it runs it
    // already; such a refusal of the request counts as success.
    WriteTransfer(const QString &fileName, QByteArray image, bool bypassable, TransferPolicy policy = {},
                  TransferOptions options = {});

    // The write request, or the end when the image cannot be sent.
    TransferStep start();
    TransferStep received(QByteArrayView datagram);
    TransferStep timedOut();
    // The caller stops the transfer.
    TransferStep stopped();
    // A datagram of the last step could not be sent.
    TransferStep notSent() const;

private:
    TransferStep requestAcknowledged(const NegotiatedOptions &options);
    TransferStep acknowledged(quint32 block);
    TransferStep sendWindow();
    TransferStep send(qint64 progress = -1) const;
    TransferStep abort(TransferResult result, quint16 errorCode, const char *message);
    TransferStep finish(TransferResult result) const;
    // In lock-step without retries every reply must be the one awaited;
    // otherwise a late or repeated acknowledgement is stale, and ignored.
    bool ignoresStaleReplies() const { return m_policy.resilient() || m_options.windowSize > 1; }
    qint64 bytesThrough(quint32 block) const;

    QString m_fileName;
    QByteArray m_image;
    bool m_bypassable;
    TransferPolicy m_policy;
    TransferOptions m_asked;
    NegotiatedOptions m_options;

    bool m_requestAcknowledged = false;
    quint32 m_lastAcknowledged = 0; // the last block the device acknowledged
    quint32 m_lastSent = 0; // the highest block sent so far
    quint32 m_lastBlock = 0; // the image's last block, the first shorter than the block size
    int m_attempt = 0; // times the awaited packet or window has been sent again

    QByteArray m_packet; // the request, or the ERROR that ends the transfer
    std::vector<std::array<char, 4>> m_headers; // one per block of the window
    std::vector<OutgoingDatagram> m_outgoing;
};

} // namespace Tftp
