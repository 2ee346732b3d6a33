#include "tftp/readtransfer.h"

#include "tftp/optionnegotiation.h"
#include "tftp/tftppacket.h"

namespace Tftp {

namespace {

bool isOptionAcknowledgement(QByteArrayView datagram)
{
    return datagram.size() >= 2 && datagram[0] == 0 && datagram[1] == char(OptionAcknowledgement);
}

} // namespace

ReadTransfer::ReadTransfer(const QString &fileName, QByteArray *destination, TransferPolicy policy,
                           TransferOptions options)
    : m_fileName(fileName)
    , m_destination(destination)
    , m_policy(policy)
    , m_asked(options)
{
}

TransferStep ReadTransfer::start()
{
    m_packet = readRequest(m_fileName, m_asked);
    return send(TransferStep::Send);
}

TransferStep ReadTransfer::received(QByteArrayView datagram)
{
    // The answer to options asked for comes before the first block.
    if (m_asked.any() && m_expectedBlock == 1 && isOptionAcknowledgement(datagram))
        return optionsAcknowledged(datagram);

    const ReadReply reply = parseReadReply(datagram);
    switch (reply.kind) {
    case ReadReply::InvalidFirstByte: {
        TransferResult invalid{ TransferResult::InvalidFirstByte };
        invalid.byte = reply.byte;
        return finish(std::move(invalid));
    }
    case ReadReply::Truncated:
        return finish({ TransferResult::TruncatedPacket, datagram.size() });
    case ReadReply::NotData: {
        // An ERROR whose code equals the awaited block number passes the
        // block test; its text is no part of the file either way.
        TransferResult notData{ TransferResult::BlockMismatch, reply.block, m_expectedBlock };
        if (reply.block == m_expectedBlock) {
            notData = { TransferResult::InvalidOpcode };
            notData.byte = reply.byte;
        }
        if (reply.byte == char(Error))
            notData.deviceError = DeviceError{ reply.block, reply.errorText };
        return finish(std::move(notData));
    }
    case ReadReply::DataBlock:
        break;
    }

    if (reply.block != m_expectedBlock) {
        if (m_policy.resilient() || m_options.windowSize > 1)
            return outOfOrder();
        return finish({ TransferResult::BlockMismatch, reply.block, m_expectedBlock });
    }
    m_destination->append(reply.payload);
    ++m_expectedBlock;
    m_attempt = 0;
    m_outOfOrderAcknowledged = false;
    const bool last = reply.payload.size() < m_options.blockSize;
    if (last || ++m_blocksSinceAcknowledgement == m_options.windowSize)
        return acknowledge(reply.block, last);
    return TransferStep::await(m_policy.replyWaitMs(0));
}

TransferStep ReadTransfer::timedOut()
{
    if (m_attempt == m_policy.retries)
        return abort({ TransferResult::TimedOut }, NotDefined, "No reply");
    ++m_attempt;
    // Before any answer the request goes again; after, the acknowledgement of
    // the last block in order, from which the sender starts its window again.
    m_blocksSinceAcknowledgement = 0;
    if (m_acknowledging)
        m_packet = acknowledgement(quint16(m_expectedBlock - 1));
    return send(TransferStep::Send);
}

TransferStep ReadTransfer::stopped()
{
    return abort({ TransferResult::Stopped }, NotDefined, "Transfer stopped");
}

TransferStep ReadTransfer::notSent() const
{
    return finish({ m_acknowledging ? TransferResult::AckNotSent : TransferResult::RequestNotSent });
}

// The OACK is acknowledged as block 0; the first block follows.
TransferStep ReadTransfer::optionsAcknowledged(QByteArrayView datagram)
{
    if (m_acknowledging) {
        // The device repeats its OACK when our acknowledgement was lost.
        if (!m_policy.resilient() && m_options.windowSize == 1)
            return finish({ TransferResult::UnexpectedPacket, OptionAcknowledgement });
        return send(TransferStep::Send);
    }
    const Negotiation negotiation = negotiate(datagram, m_asked, false);
    if (!negotiation.failure.isEmpty()) {
        TransferResult rejected{ TransferResult::OptionsRejected };
        rejected.text = negotiation.failure;
        return abort(std::move(rejected), OptionsRefused, "Options refused");
    }
    m_options = negotiation.options;
    m_acknowledging = true;
    m_attempt = 0;
    m_packet = acknowledgement(0);
    return send(TransferStep::Send);
}

// A gap, or a block seen before: the sender must go on from the block after
// the last one in order, which one acknowledgement tells it; the rest of its
// window is dropped unanswered, and our own time-out covers a lost answer.
TransferStep ReadTransfer::outOfOrder()
{
    if (m_outOfOrderAcknowledged || !m_acknowledging)
        return TransferStep::keepWaiting();
    m_outOfOrderAcknowledged = true;
    m_blocksSinceAcknowledgement = 0;
    m_packet = acknowledgement(quint16(m_expectedBlock - 1));
    return send(TransferStep::Send);
}

TransferStep ReadTransfer::acknowledge(quint16 block, bool last)
{
    m_acknowledging = true;
    m_blocksSinceAcknowledgement = 0;
    m_packet = acknowledgement(block);
    return send(last ? TransferStep::SendLast : TransferStep::Send);
}

TransferStep ReadTransfer::send(TransferStep::Action action)
{
    m_outgoing = { m_packet, {} };
    TransferStep step;
    step.action = action;
    step.datagrams = &m_outgoing;
    step.datagramCount = 1;
    step.waitMs = m_policy.replyWaitMs(m_attempt);
    if (action == TransferStep::SendLast)
        step.result = finish({ TransferResult::Delivered }).result;
    return step;
}

TransferStep ReadTransfer::abort(TransferResult result, quint16 errorCode, const char *message)
{
    TransferStep step = finish(std::move(result));
    if (m_policy.tellDeviceOnAbort) {
        m_packet = errorPacket(errorCode, message);
        m_outgoing = { m_packet, {} };
        step.datagrams = &m_outgoing;
        step.datagramCount = 1;
    }
    return step;
}

TransferStep ReadTransfer::finish(TransferResult result) const
{
    result.options = m_options;
    return TransferStep::finish(std::move(result));
}

} // namespace Tftp
