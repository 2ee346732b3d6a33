#include "qtftp.h"

#include "tftppacket.h"

#include <QDeadlineTimer>
#include <QUdpSocket>

namespace {

// How long a wait runs before it looks whether the controller is going away.
constexpr int stopCheckIntervalMs = 100;

// The largest UDP payload fits, so a datagram is never cut short.
constexpr qsizetype receiveBufferSize = 65536;

} // namespace

// Waits up to the reply time-out for a datagram from the device's address and
// reads it into buffer. Datagrams from any other address are dropped without
// a look and the wait goes on, within the same time-out.
QTftp::Receipt QTftp::receiveFromDevice(const QHostAddress &device, QByteArray &buffer, qsizetype &length,
                                        unsigned short &devicePort)
{
    if (buffer.size() < receiveBufferSize)
        buffer.resize(receiveBufferSize);
    const QDeadlineTimer deadline(Tftp::ReplyTimeoutMs);
    QHostAddress sender;
    for (;;) {
        // A datagram already queued makes the wait return at once; asking
        // first would cost a system call per block.
        bool ready = false;
        while (!ready) {
            if (m_stopRequested)
                return Receipt::Stopped;
            const qint64 remaining = deadline.remainingTime();
            ready = udpSocket->waitForReadyRead(int(qMin<qint64>(remaining, stopCheckIntervalMs)));
            if (!ready && deadline.hasExpired())
                return Receipt::TimedOut;
        }
        unsigned short senderPort = 0;
        length = udpSocket->readDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
        if (length >= 0 && sender.isEqual(device, QHostAddress::TolerantConversion)) {
            devicePort = senderPort;
            return Receipt::Datagram;
        }
    }
}

void QTftp::discardPendingDatagrams()
{
    while (udpSocket->hasPendingDatagrams())
        udpSocket->readDatagram(nullptr, 0);
}
