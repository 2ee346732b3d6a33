#include "bench/fleet/devicestandin.h"

#include "tftp/tftppacket.h"

#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

#include <optional>
#include <utility>

#include <pthread.h>
#include <sched.h>

using namespace Qt::StringLiterals;

namespace {

// A request's opcode, file name and tsize; nullopt for any other datagram
// or a mode other than octet, which a device would refuse too.
std::optional<std::pair<quint16, ReceivedFile>> parseRequest(const QByteArray &datagram, quint16 devicePort)
{
    const quint16 opcode = datagram.size() >= 2 ? qFromBigEndian<quint16>(datagram.constData()) : 0;
    if ((opcode != Tftp::WriteRequest && opcode != Tftp::ReadRequest) || !datagram.endsWith('\0'))
        return std::nullopt;
    // name, mode, then option and value pairs, each ended by a zero byte.
    const QByteArrayList fields = datagram.mid(2).chopped(1).split('\0');
    if (fields.size() < 2 || fields.at(1).toLower() != "octet")
        return std::nullopt;
    ReceivedFile file;
    file.devicePort = devicePort;
    file.name = QString::fromUtf8(fields.at(0));
    for (qsizetype i = 2; i + 1 < fields.size(); i += 2) {
        if (fields.at(i).toLower() == "tsize")
            file.announcedSize = fields.at(i + 1).toLongLong();
    }
    return std::pair(opcode, file);
}

QString storeKey(quint16 devicePort, const QString &name)
{
    return u"%1/%2"_s.arg(devicePort).arg(name);
}

} // namespace

DeviceStandIn::DeviceStandIn(std::chrono::milliseconds turnaround)
    : m_turnaround(turnaround)
    , m_context(new QObject)
{
    m_thread.setObjectName(u"device stand-in"_s);
    m_context->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.start();
    // Devices have processors of their own: the stand-in runs ahead of the
    // client's threads where the system allows it, so that sharing the
    // machine's cores with them does not stretch its turnaround.
    QMetaObject::invokeMethod(
            m_context,
            [] {
                const sched_param realTime{ sched_get_priority_min(SCHED_FIFO) };
                pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
            },
            Qt::BlockingQueuedConnection);
}

DeviceStandIn::~DeviceStandIn()
{
    m_thread.quit();
    m_thread.wait();
}

QList<quint16> DeviceStandIn::openDevicePorts(int count)
{
    QList<quint16> ports;
    QMetaObject::invokeMethod(
            m_context,
            [this, count, &ports] {
                for (int i = 0; i < count; ++i) {
                    auto *socket = new QUdpSocket(m_context);
                    if (!socket->bind(QHostAddress::LocalHost, 0)) {
                        qWarning().noquote() << "device stand-in: cannot open a port:" << socket->errorString();
                        delete socket;
                        continue;
                    }
                    QObject::connect(socket, &QUdpSocket::readyRead, socket, [this, socket] { readRequests(socket); });
                    ports.append(socket->localPort());
                }
            },
            Qt::BlockingQueuedConnection);
    return ports;
}

QList<ReceivedFile> DeviceStandIn::takeReceivedFiles()
{
    const QMutexLocker locker(&m_receivedLock);
    return std::exchange(m_received, {});
}

// Reads are served from what the device last received under that name; a
// device without the file refuses the read, as a device would.
void DeviceStandIn::readRequests(QUdpSocket *socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        const auto request = parseRequest(datagram.data(), socket->localPort());
        const quint16 clientPort = quint16(datagram.senderPort());
        if (!request) {
            qWarning() << "device stand-in: ignored a datagram that is no octet request";
        } else if (request->first == Tftp::ReadRequest) {
            const auto stored = m_stored.constFind(storeKey(request->second.devicePort, request->second.name));
            if (stored == m_stored.cend())
                socket->writeDatagram(Tftp::errorPacket(1, "File not found"), datagram.senderAddress(), clientPort);
            else
                new StandInRead(socket->localAddress(), datagram.senderAddress(), clientPort, *stored, m_context);
        } else {
            auto *transfer = new StandInTransfer(socket->localAddress(), datagram.senderAddress(), clientPort,
                                                 request->second, m_turnaround, m_context);
            QObject::connect(transfer, &StandInTransfer::finished, transfer,
                             [this](const ReceivedFile &file) { record(file); });
        }
    }
}

void DeviceStandIn::record(const ReceivedFile &file)
{
    if (file.failure.isEmpty())
        m_stored.insert(storeKey(file.devicePort, file.name), file.bytes);
    const QMutexLocker locker(&m_receivedLock);
    m_received.append(file);
}
