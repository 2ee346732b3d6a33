#include "bench/fleet/devicestandin.h"

#include "tftp/tftppacket.h"

#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

#include <ctime>

#include <pthread.h>
#include <sched.h>
#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// A write request's file name and tsize; nullopt for any other datagram or
// a mode other than octet, which a device would refuse too.
std::optional<ReceivedFile> parseWriteRequest(const QByteArray &datagram, quint16 devicePort)
{
    if (datagram.size() < 2 || qFromBigEndian<quint16>(datagram.constData()) != Tftp::WriteRequest
        || !datagram.endsWith('\0'))
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
    return file;
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

std::chrono::microseconds DeviceStandIn::threadCpuTime()
{
    std::chrono::microseconds cpuTime{};
    QMetaObject::invokeMethod(
            m_context,
            [&cpuTime] {
                timespec now{};
                ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
                cpuTime = std::chrono::seconds(now.tv_sec) + std::chrono::microseconds(now.tv_nsec / 1000);
            },
            Qt::BlockingQueuedConnection);
    return cpuTime;
}

void DeviceStandIn::readRequests(QUdpSocket *socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram();
        const std::optional<ReceivedFile> request = parseWriteRequest(datagram.data(), socket->localPort());
        if (!request) {
            qWarning() << "device stand-in: ignored a datagram that is no octet write request";
            continue;
        }
        auto *transfer = new StandInTransfer(socket->localAddress(), datagram.senderAddress(),
                                             quint16(datagram.senderPort()), *request, m_turnaround, m_context);
        QObject::connect(transfer, &StandInTransfer::finished, transfer,
                         [this](const ReceivedFile &file) { record(file); });
    }
}

void DeviceStandIn::record(const ReceivedFile &file)
{
    const QMutexLocker locker(&m_receivedLock);
    m_received.append(file);
}
