#include "tftp/writetransfer.h"

#include "tftp/tftppacket.h"

namespace Tftp {

WriteTransfer::WriteTransfer(const QString &fileName, QByteArray image, bool bypassable, TransferPolicy policy)
    : m_fileName(fileName)
    , m_image(std::move(image))
    , m_bypassable(bypassable)
    , m_policy(policy)
{
}

TransferStep WriteTransfer::start()
{
    if (m_image.size() > MaxImageSize)
        return TransferStep::failure(TransferResult::ImageTooLarge, m_image.size());
    m_packet = writeRequest(m_fileName, m_image.size());
    m_retriesLeft = m_policy.retries;
    return TransferStep::send(m_packet);
}

TransferStep WriteTransfer::received(QByteArrayView datagram)
{
    const WriteReply reply = parseWriteReply(datagram);
    switch (reply.kind) {
    case WriteReply::OptionsAcknowledged:
        // Options answer the request only. A server re-sends its OACK when
        // block 1 went missing: taken as acknowledging block 1, it would end
        // the upload as a success with nothing stored.
        if (m_blockCounter == 0)
            return acknowledged();
        if (m_blockCounter == 1 && m_policy.resilient())
            return ignoredRepeat();
        return TransferStep::failure(TransferResult::UnexpectedPacket, OptionAcknowledgement);
    case WriteReply::Acknowledged:
        if (reply.number == quint16(m_blockCounter))
            return acknowledged();
        if (m_blockCounter > 0 && reply.number == quint16(m_blockCounter - 1) && m_policy.resilient())
            return ignoredRepeat();
        return TransferStep::failure(TransferResult::BlockMismatch, reply.number, quint16(m_blockCounter));
    case WriteReply::Refused: {
        // A device refuses an application image it already runs by the name
        // in the request. Once data has gone out, a refusal means the image
        // did not arrive whole.
        if (m_bypassable && m_blockCounter == 0)
            return TransferStep::finish({ TransferResult::Bypassed });
        TransferStep refused = TransferStep::failure(TransferResult::Refused, reply.number);
        refused.result.text = reply.errorText;
        return refused;
    }
    case WriteReply::Unexpected:
        return TransferStep::failure(TransferResult::UnexpectedPacket, reply.number);
    case WriteReply::UnknownOpcode:
        return TransferStep::failure(TransferResult::UnknownOpcode, reply.number);
    case WriteReply::Truncated:
        break;
    }
    return TransferStep::failure(TransferResult::TruncatedPacket, datagram.size());
}

TransferStep WriteTransfer::timedOut()
{
    if (m_retriesLeft == 0)
        return TransferStep::failure(TransferResult::TimedOut);
    --m_retriesLeft;
    return TransferStep::send(m_packet);
}

TransferStep WriteTransfer::notSent() const
{
    return TransferStep::failure(m_blockCounter == 0 ? TransferResult::RequestNotSent : TransferResult::DataNotSent);
}

TransferStep WriteTransfer::acknowledged()
{
    if (m_lastBlockSent)
        return TransferStep::finish({ TransferResult::Delivered });

    ++m_blockCounter;
    const QByteArrayView payload = blockPayload(m_image, m_blockCounter);
    m_lastBlockSent = payload.size() < BlockSize;
    fillDataPacket(m_packet, quint16(m_blockCounter), payload);
    m_bytesSent += m_packet.size();
    m_retriesLeft = m_policy.retries;
    return TransferStep::send(m_packet, m_bytesSent);
}

// A server that missed our last packet repeats its own. Answering each repeat
// would send every block twice from then on (the Sorcerer's Apprentice); our
// own time-out sends it again instead.
TransferStep WriteTransfer::ignoredRepeat() const
{
    return TransferStep::keepWaiting();
}

} // namespace Tftp
