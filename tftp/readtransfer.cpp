#include "qtftp.h"

#include "devicelink.h"
#include "tftppacket.h"

#include <QScopeGuard>
#include <QUdpSocket>

// Downloads one file with a read request, acknowledging each block before
// the next is awaited. Only failures set the status text, and the socket
// stays with the controller afterwards.
bool QTftp::getByteArray(QString fileName, QByteArray *data)
{
    const TransferScope scope(*this);
    // Runs last, once the link below has handed the socket back.
    const auto keepSocket = qScopeGuard([this] { keepSocketForController(); });
    const auto fail = [this](const QString &message) {
        setTransferStatus(message);
        return false;
    };

    if (!bindSocket())
        return fail(udpSocket->errorString());
    // Before the link, whose blocking mode would make the socket's peek wait.
    discardPendingDatagrams();
    DeviceLink server(*udpSocket, QHostAddress(m_transfer.remoteAddress), m_transfer.remotePort);

    if (!server.send(getFilePacket(fileName)))
        return fail(QStringLiteral("Did not send packet to host  %1").arg(udpSocket->errorString()));

    QByteArray datagram;
    qsizetype datagramLength = 0;
    quint16 expectedBlock = 1;
    for (;;) {
        switch (receiveFromDevice(server, datagram, datagramLength)) {
        case Receipt::Datagram:
            break;
        case Receipt::TimedOut:
            return fail(QStringLiteral("No message received from host  %1").arg(udpSocket->errorString()));
        case Receipt::Stopped:
            return abandonTransfer();
        }

        const Tftp::ReadReply reply =
                Tftp::classifyReadReply(QByteArrayView(datagram.constData(), datagramLength), expectedBlock);
        if (reply.kind == Tftp::ReadReply::Rejected)
            return fail(reply.message);
        data->append(reply.payload);

        if (!server.send(Tftp::acknowledgement(expectedBlock)))
            return fail(QStringLiteral("Did not send ack packet to host  %1").arg(udpSocket->errorString()));
        ++expectedBlock;
        if (reply.lastBlock)
            return true;
    }
}
