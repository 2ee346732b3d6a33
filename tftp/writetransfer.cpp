#include "tftp/writetransfer.h"

#include "tftp/optionnegotiation.h"
#include "tftp/tftppacket.h"

namespace Tftp {

WriteTransfer::WriteTransfer(const QString &fileName, QByteArray image, bool bypassable, TransferPolicy policy,
                             TransferOptions options)
    : m_fileName(fileName)
    , m_image(std::move(image))
    , m_bypassable(bypassable)
    , m_policy(policy)
    , m_asked(options)
{
}

TransferStep WriteTransfer::start()
{
    // Too large even for the block size asked for: nothing goes out.
    const qsizetype limit = maxImageSize(m_asked.blockSize.value_or(BlockSize));
    if (m_image.size() > limit)
        return TransferStep::finish({ TransferResult::ImageTooLarge, m_image.size(), limit });
    m_packet = writeRequest(m_fileName, m_image.size(), m_asked);
    m_outgoing.assign(1, { m_packet, {} });
    return send();
}

TransferStep WriteTransfer::received(QByteArrayView datagram)
{
    const WriteReply reply = parseWriteReply(datagram);
    switch (reply.kind) {
    case WriteReply::OptionsAcknowledged:
        if (!m_requestAcknowledged) {
            // The window's devices answer with an OACK whatever they make of
            // tsize; only options we asked for are held to what we asked.
            if (!m_asked.any())
                return requestAcknowledged({});
            const Negotiation negotiation = negotiate(datagram, m_asked, true);
            if (!negotiation.failure.isEmpty()) {
                TransferResult rejected{ TransferResult::OptionsRejected };
                rejected.text = negotiation.failure;
                return abort(std::move(rejected), OptionsRefused, "Options refused");
            }
            return requestAcknowledged(negotiation.options);
        }
        // Options answer the request only. A server re-sends its OACK when
        // block 1 went missing: taken as acknowledging block 1, it would end
        // the upload as a success with nothing stored.
        if (ignoresStaleReplies())
            return TransferStep::keepWaiting();
        return finish({ TransferResult::UnexpectedPacket, OptionAcknowledgement });
    case WriteReply::Acknowledged: {
        // At most 65,535 blocks go out, so the number on the wire is the block.
        const quint32 block = reply.number;
        if (!m_requestAcknowledged && block == 0)
            return requestAcknowledged({}); // a plain ACK: no options at all
        if (m_requestAcknowledged && block > m_lastAcknowledged && block <= m_lastSent)
            return acknowledged(block);
        // A late or repeated acknowledgement. Answering it would send blocks
        // twice from then on (the Sorcerer's Apprentice); our own time-out
        // sends them again instead.
        if (m_requestAcknowledged && block <= m_lastAcknowledged && ignoresStaleReplies())
            return TransferStep::keepWaiting();
        return finish({ TransferResult::BlockMismatch, block, quint16(m_lastSent) });
    }
    case WriteReply::Refused: {
        // A device refuses an application image it already runs by the name
        // in the request. Once data has gone out, a refusal means the image
        // did not arrive whole; and ERROR 8 to a request that asked for
        // options refuses the options, not the image.
        const bool optionsRefused = reply.number == OptionsRefused && m_asked.any();
        TransferResult refused{ m_bypassable && m_lastSent == 0 && !optionsRefused ? TransferResult::Bypassed
                                                                                   : TransferResult::Refused };
        refused.deviceError = DeviceError{ reply.number, reply.errorText };
        return finish(std::move(refused));
    }
    case WriteReply::Unexpected:
        return finish({ TransferResult::UnexpectedPacket, reply.number });
    case WriteReply::UnknownOpcode:
        return finish({ TransferResult::UnknownOpcode, reply.number });
    case WriteReply::Truncated:
        break;
    }
    return finish({ TransferResult::TruncatedPacket, datagram.size() });
}

TransferStep WriteTransfer::timedOut()
{
    if (m_attempt == m_policy.retries)
        return abort({ TransferResult::TimedOut }, NotDefined, "No reply");
    ++m_attempt;
    return m_requestAcknowledged ? sendWindow() : send();
}

TransferStep WriteTransfer::stopped()
{
    return abort({ TransferResult::Stopped }, NotDefined, "Transfer stopped");
}

TransferStep WriteTransfer::notSent() const
{
    return finish({ m_requestAcknowledged ? TransferResult::DataNotSent : TransferResult::RequestNotSent });
}

// The device accepted the request: from here on the image goes out in
// blocks of the size and windows of the count it accepted.
TransferStep WriteTransfer::requestAcknowledged(const NegotiatedOptions &options)
{
    m_requestAcknowledged = true;
    m_options = options;
    m_attempt = 0;
    const qsizetype limit = maxImageSize(options.blockSize);
    if (m_image.size() > limit)
        return abort({ TransferResult::ImageTooLarge, m_image.size(), limit }, OptionsRefused,
                     "Image too large for the block size");
    m_lastBlock = quint32(m_image.size() / options.blockSize + 1);
    // The only allocations of the upload's data phase.
    m_headers.resize(qMin(quint32(options.windowSize), m_lastBlock));
    m_outgoing.reserve(m_headers.size());
    return sendWindow();
}

// An acknowledgement of any block of the window moves the window to the
// block after it, which also covers a block lost on the way.
TransferStep WriteTransfer::acknowledged(quint32 block)
{
    m_lastAcknowledged = block;
    m_attempt = 0;
    if (block == m_lastBlock)
        return finish({ TransferResult::Delivered });
    return sendWindow();
}

// The window from the first block not yet acknowledged: headers of our own,
// payloads that are views into the image.
TransferStep WriteTransfer::sendWindow()
{
    const quint32 first = m_lastAcknowledged + 1;
    const quint32 last = qMin(m_lastAcknowledged + quint32(m_options.windowSize), m_lastBlock);
    m_outgoing.clear();
    for (quint32 block = first; block <= last; ++block) {
        char *header = m_headers[block - first].data();
        writeDataHeader(header, quint16(block));
        m_outgoing.push_back({ QByteArrayView(header, DataHeaderSize), blockPayload(m_image, block, m_options.blockSize) });
    }
    const bool newData = last > m_lastSent;
    m_lastSent = qMax(m_lastSent, last);
    return send(newData ? bytesThrough(m_lastSent) : -1);
}

TransferStep WriteTransfer::send(qint64 progress) const
{
    TransferStep step;
    step.action = TransferStep::Send;
    step.datagrams = m_outgoing.data();
    step.datagramCount = qsizetype(m_outgoing.size());
    step.waitMs = m_policy.replyWaitMs(m_attempt);
    step.progress = progress;
    step.result.options = m_options;
    return step;
}

// Ends the transfer; when the policy says so, the device is told first, so
// that it frees its side at once rather than after its own time-outs.
TransferStep WriteTransfer::abort(TransferResult result, quint16 errorCode, const char *message)
{
    TransferStep step = finish(std::move(result));
    if (m_policy.tellDeviceOnAbort) {
        m_packet = errorPacket(errorCode, message);
        m_outgoing.assign(1, { m_packet, {} });
        step.datagrams = m_outgoing.data();
        step.datagramCount = 1;
    }
    return step;
}

TransferStep WriteTransfer::finish(TransferResult result) const
{
    result.options = m_options;
    result.bytesSent = bytesThrough(m_lastSent);
    return TransferStep::finish(std::move(result));
}

// DATA bytes, headers included, of blocks 1 to block.
qint64 WriteTransfer::bytesThrough(quint32 block) const
{
    return qint64(block) * DataHeaderSize + qMin<qint64>(qint64(block) * m_options.blockSize, m_image.size());
}

} // namespace Tftp
