#include "qtftp.h"

#include "tftppacket.h"

#include <QUdpSocket>

// Downloads one file with a read request, acknowledging each block before
// the next is awaited. Only failures set the status text, and the socket
// stays with the controller afterwards.
bool QTftp::getByteArray(QString fileName, QByteArray *data)
{
    const TransferScope scope(*this);
    const auto fail = [this](const QString &message) {
        setTransferStatus(message);
        keepSocketForController();
        return false;
    };

    if (!bindSocket())
        return fail(udpSocket->errorString());
    const QHostAddress server(m_transfer.remoteAddress);
    unsigned short serverPort = m_transfer.remotePort;
    discardPendingDatagrams();

    const QByteArray request = getFilePacket(fileName);
    if (udpSocket->writeDatagram(request, server, serverPort) != request.size())
        return fail(QStringLiteral("Did not send packet to host  %1").arg(udpSocket->errorString()));

    QByteArray datagram;
    qsizetype datagramLength = 0;
    quint16 expectedBlock = 1;
    for (;;) {
        switch (receiveFromDevice(server, datagram, datagramLength, serverPort)) {
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

        const QByteArray ack = Tftp::acknowledgement(expectedBlock);
        if (udpSocket->writeDatagram(ack, server, serverPort) != ack.size())
            return fail(QStringLiteral("Did not send ack packet to host  %1").arg(udpSocket->errorString()));
        ++expectedBlock;
        if (reply.lastBlock) {
            keepSocketForController();
            return true;
        }
    }
}
