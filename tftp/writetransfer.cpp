#include "qtftp.h"

#include "devicelink.h"
#include "tftppacket.h"

#include <QHostInfo>
#include <QUdpSocket>

// Uploads one image with a write request and lock-step 512-byte blocks. One
// packet is in flight at a time, each reply is awaited once for up to ten
// seconds, nothing is sent twice, and the first irregular reply ends the run.
bool QTftp::putByteArray(QString fileName, QByteArray data)
{
    const TransferScope scope(*this);
    if (data.size() > Tftp::MaxImageSize)
        return setTftpError(QStringLiteral("File %1 is too large to send: %2 bytes, the limit is %3 bytes")
                                    .arg(fileName)
                                    .arg(data.size())
                                    .arg(Tftp::MaxImageSize));

    if (!bindSocket())
        return setTftpError(udpSocket->errorString());
    setTransferStatus(QStringLiteral("Sending file %1").arg(fileName));

    const QHostInfo host = QHostInfo::fromName(m_transfer.remoteAddress);
    if (host.addresses().isEmpty())
        return setTftpError(QStringLiteral("could not resolve host name %1").arg(host.hostName()));
    DeviceLink device(*udpSocket, host.addresses().constFirst(), m_transfer.remotePort);

    if (!device.send(putFilePacket(fileName, data)))
        return setTftpError(QStringLiteral("Did not send packet to host  %1").arg(udpSocket->errorString()));
    reportNewFile(int(data.size()));

    QByteArray reply;
    qsizetype replyLength = 0;
    QByteArray block;
    quint32 blockCounter = 0;
    bool lastBlockSent = false;
    int progress = 0;
    for (;;) {
        switch (receiveFromDevice(device, reply, replyLength)) {
        case Receipt::Datagram:
            break;
        case Receipt::TimedOut:
            return setTftpError(QStringLiteral("No message received from host  %1").arg(udpSocket->errorString()));
        case Receipt::Stopped:
            return abandonTransfer();
        }

        const Tftp::WriteReply classified =
                Tftp::classifyWriteReply(QByteArrayView(reply.constData(), replyLength), quint16(blockCounter));
        switch (classified.kind) {
        case Tftp::WriteReply::Acknowledged:
            break;
        case Tftp::WriteReply::ErrorPacket:
            // The device refuses an application image it already runs.
            if (m_transfer.bypassableFiles.contains(fileName.toLower()))
                return finishTransfer(QStringLiteral("No Error"), true);
            return setTftpError(classified.message);
        case Tftp::WriteReply::Rejected:
            return setTftpError(classified.message);
        }
        if (lastBlockSent)
            return finishTransfer(QStringLiteral("No Error"), true);

        ++blockCounter;
        const QByteArrayView payload = Tftp::blockPayload(data, blockCounter);
        lastBlockSent = payload.size() < Tftp::BlockSize;
        Tftp::fillDataPacket(block, quint16(blockCounter), payload);
        if (!device.send(block))
            return setTftpError(QStringLiteral("Did not send data packet to host  %1").arg(udpSocket->errorString()));
        progress += int(block.size());
        reportFileProgress(progress, lastBlockSent);
    }
}
