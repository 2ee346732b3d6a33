#include "bench/fleet/standintransfer.h"

#include "tftp/tftppacket.h"

#include <QNetworkDatagram>
#include <QtEndian>

using namespace Qt::StringLiterals;

namespace {

// A client that stops sending for this long has given up; the transfer ends
// so that no socket outlives it.
constexpr int silenceLimitMs = 15000;

QByteArray sizeOptionAcknowledgement(qint64 size)
{
    QByteArray packet(2, Qt::Uninitialized);
    qToBigEndian<quint16>(Tftp::OptionAcknowledgement, packet.data());
    return packet + "tsize" + '\0' + QByteArray::number(size) + '\0';
}

} // namespace

StandInTransfer::StandInTransfer(const QHostAddress &localAddress, const QHostAddress &client, quint16 clientPort,
                                 const ReceivedFile &request, std::chrono::milliseconds turnaround, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_clientPort(clientPort)
    , m_file(request)
{
    m_turnaround.setSingleShot(true);
    m_turnaround.setTimerType(Qt::PreciseTimer);
    m_turnaround.setInterval(turnaround);
    connect(&m_turnaround, &QTimer::timeout, this, &StandInTransfer::acknowledgeBlock);
    m_silence.setSingleShot(true);
    m_silence.setInterval(silenceLimitMs);
    connect(&m_silence, &QTimer::timeout, this,
            [this] { fail(u"the client fell silent"_s, Tftp::errorPacket(0, "timed out")); });
    connect(&m_socket, &QUdpSocket::readyRead, this, &StandInTransfer::readDatagram);

    if (!m_socket.bind(localAddress, 0)) {
        m_file.failure = u"cannot open a transfer port: %1"_s.arg(m_socket.errorString());
        QMetaObject::invokeMethod(this, &StandInTransfer::finish, Qt::QueuedConnection);
        return;
    }
    send(m_file.announcedSize >= 0 ? sizeOptionAcknowledgement(m_file.announcedSize) : Tftp::acknowledgement(0));
    m_silence.start();
}

// One datagram per readyRead: in lock-step at most one is ever waiting, and
// Qt signals again for any other. Reading into a reused buffer spares the
// size query and the allocation of receiveDatagram().
void StandInTransfer::readDatagram()
{
    QHostAddress sender;
    quint16 senderPort = 0;
    m_datagram.resize(Tftp::DataHeaderSize + Tftp::BlockSize + 1);
    const qint64 size = m_socket.readDatagram(m_datagram.data(), m_datagram.size(), &sender, &senderPort);
    // A stray datagram from elsewhere is no part of this transfer.
    if (size < 0 || senderPort != m_clientPort || !sender.isEqual(m_client))
        return;
    m_datagram.truncate(size);
    m_silence.start();
    const quint16 opcode = size >= 2 ? qFromBigEndian<quint16>(m_datagram.constData()) : 0;
    if (opcode == Tftp::Error) {
        const QByteArray message = m_datagram.mid(4).split('\0').constFirst();
        m_file.failure = u"the client sent ERROR: %1"_s.arg(QString::fromLatin1(message));
        finish();
        return;
    }
    if (opcode != Tftp::Data || size < Tftp::DataHeaderSize || size > Tftp::DataHeaderSize + Tftp::BlockSize) {
        fail(u"a datagram that is no DATA packet of at most %1 bytes"_s.arg(Tftp::BlockSize),
             Tftp::errorPacket(4, "DATA expected"));
        return;
    }
    const quint16 block = qFromBigEndian<quint16>(m_datagram.constData() + 2);
    // The client repeats a block whose ACK it missed: ACK it again, unless
    // that ACK is still to come anyway.
    if (block == quint16(m_awaitedBlock - 1)) {
        if (!m_turnaround.isActive())
            send(Tftp::acknowledgement(block));
        return;
    }
    if (block != m_awaitedBlock || m_turnaround.isActive()) {
        fail(u"block %1 arrived while block %2 was awaited"_s.arg(block).arg(m_awaitedBlock),
             Tftp::errorPacket(4, "block out of order"));
        return;
    }
    m_sinceBlockArrived.start();
    const qsizetype payload = size - Tftp::DataHeaderSize;
    m_file.bytes.append(m_datagram.constData() + Tftp::DataHeaderSize, payload);
    m_lastBlockReceived = payload < Tftp::BlockSize;
    ++m_awaitedBlock;
    m_turnaround.start();
}

void StandInTransfer::acknowledgeBlock()
{
    const quint16 block = quint16(m_awaitedBlock - 1);
    ++m_file.acknowledgedBlocks;
    m_file.turnaroundNs += m_sinceBlockArrived.nsecsElapsed();
    if (!m_lastBlockReceived) {
        send(Tftp::acknowledgement(block));
        return;
    }
    if (m_file.announcedSize >= 0 && m_file.bytes.size() != m_file.announcedSize)
        m_file.failure = u"received %L1 bytes of an announced %L2"_s.arg(m_file.bytes.size()).arg(m_file.announcedSize);
    finish();
    send(Tftp::acknowledgement(block));
}

void StandInTransfer::send(const QByteArray &packet)
{
    m_socket.writeDatagram(packet, m_client, m_clientPort);
}

void StandInTransfer::fail(const QString &failure, const QByteArray &errorPacket)
{
    m_file.failure = failure;
    send(errorPacket);
    finish();
}

void StandInTransfer::finish()
{
    m_turnaround.stop();
    m_silence.stop();
    disconnect(&m_socket, nullptr, this, nullptr);
    emit finished(m_file);
    deleteLater();
}

StandInRead::StandInRead(const QHostAddress &localAddress, const QHostAddress &client, quint16 clientPort,
                         const QByteArray &content, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_clientPort(clientPort)
    , m_content(content)
{
    m_silence.setSingleShot(true);
    m_silence.setInterval(silenceLimitMs);
    connect(&m_silence, &QTimer::timeout, this, &QObject::deleteLater);
    connect(&m_socket, &QUdpSocket::readyRead, this, &StandInRead::readAcknowledgements);
    if (m_socket.bind(localAddress, 0))
        sendBlock();
    else
        deleteLater();
}

// Anything but the acknowledgement of the block just sent is ignored: the
// client's time-out brings it again.
void StandInRead::readAcknowledgements()
{
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket.receiveDatagram();
        const Tftp::WriteReply reply = Tftp::parseWriteReply(datagram.data());
        if (datagram.senderPort() != m_clientPort || reply.kind != Tftp::WriteReply::Acknowledged
            || reply.number != m_block)
            continue;
        if (qsizetype(m_block) * Tftp::BlockSize > m_content.size()) {
            deleteLater();
            return;
        }
        ++m_block;
        sendBlock();
    }
}

void StandInRead::sendBlock()
{
    QByteArray packet(Tftp::DataHeaderSize, Qt::Uninitialized);
    Tftp::writeDataHeader(packet.data(), m_block);
    packet.append(Tftp::blockPayload(m_content, m_block));
    m_socket.writeDatagram(packet, m_client, m_clientPort);
    m_silence.start();
}
