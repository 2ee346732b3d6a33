#include "qtftp.h"

#include "devicelink.h"
#include "tftppacket.h"

#include <QDeadlineTimer>
#include <QUdpSocket>

namespace {

// How long a wait runs before it looks whether the controller is going away.
constexpr int stopCheckIntervalMs = 100;

// The largest UDP payload fits, so a datagram is never cut short.
constexpr qsizetype receiveBufferSize = 65536;

} // namespace

// Waits up to the reply time-out for a datagram from the device and reads it
// into buffer. Datagrams from any other address are dropped without a look
// and the wait goes on, within the same time-out.
QTftp::Receipt QTftp::receiveFromDevice(DeviceLink &link, QByteArray &buffer, qsizetype &length)
{
    if (buffer.size() < receiveBufferSize)
        buffer.resize(receiveBufferSize);
    const QDeadlineTimer deadline(Tftp::ReplyTimeoutMs);
    for (;;) {
        if (m_stopRequested)
            return Receipt::Stopped;
        length = link.receive(buffer, int(qMin<qint64>(deadline.remainingTime(), stopCheckIntervalMs)));
        if (length >= 0)
            return Receipt::Datagram;
        if (deadline.hasExpired())
            return Receipt::TimedOut;
    }
}

void QTftp::discardPendingDatagrams()
{
    while (udpSocket->hasPendingDatagrams())
        udpSocket->readDatagram(nullptr, 0);
}
