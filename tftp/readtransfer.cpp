#include "tftp/readtransfer.h"

#include "tftp/tftppacket.h"

namespace Tftp {

ReadTransfer::ReadTransfer(const QString &fileName, QByteArray *destination, TransferPolicy policy)
    : m_fileName(fileName)
    , m_destination(destination)
    , m_policy(policy)
{
}

TransferStep ReadTransfer::start()
{
    m_packet = readRequest(m_fileName);
    m_retriesLeft = m_policy.retries;
    return TransferStep::send(m_packet);
}

TransferStep ReadTransfer::received(QByteArrayView datagram)
{
    const ReadReply reply = parseReadReply(datagram);
    switch (reply.kind) {
    case ReadReply::InvalidFirstByte: {
        TransferStep invalid = TransferStep::failure(TransferResult::InvalidFirstByte);
        invalid.result.byte = reply.byte;
        return invalid;
    }
    case ReadReply::Truncated:
        return TransferStep::failure(TransferResult::TruncatedPacket, datagram.size());
    case ReadReply::NotData:
    case ReadReply::DataBlock:
        break;
    }

    if (reply.block != m_expectedBlock) {
        // The server sends a block again when our acknowledgement of it was
        // lost; only another acknowledgement moves it on.
        if (m_policy.resilient() && m_acknowledging && reply.kind == ReadReply::DataBlock
            && reply.block == quint16(m_expectedBlock - 1))
            return TransferStep::send(m_packet);
        return TransferStep::failure(TransferResult::BlockMismatch, reply.block, m_expectedBlock);
    }
    // An ERROR whose code equals the awaited block number gets this far; its
    // text is no part of the file.
    if (reply.kind == ReadReply::NotData) {
        TransferStep invalid = TransferStep::failure(TransferResult::InvalidOpcode);
        invalid.result.byte = reply.byte;
        return invalid;
    }

    m_destination->append(reply.payload);
    m_packet = acknowledgement(m_expectedBlock);
    m_acknowledging = true;
    m_retriesLeft = m_policy.retries;
    ++m_expectedBlock;
    if (reply.payload.size() < BlockSize)
        return TransferStep::sendLast(m_packet);
    return TransferStep::send(m_packet);
}

TransferStep ReadTransfer::timedOut()
{
    if (m_retriesLeft == 0)
        return TransferStep::failure(TransferResult::TimedOut);
    --m_retriesLeft;
    return TransferStep::send(m_packet);
}

TransferStep ReadTransfer::notSent() const
{
    return TransferStep::failure(m_acknowledging ? TransferResult::AckNotSent : TransferResult::RequestNotSent);
}

} // namespace Tftp
