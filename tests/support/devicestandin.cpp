#include "tests/support/devicestandin.h"

#include "tftp/tftppacket.h"

#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <pthread.h>
#include <sched.h>

using namespace Qt::StringLiterals;

namespace {

struct Request
{
    quint16 opcode = 0; // 0: no request in octet mode
    QString name;
    QByteArrayList options; // name (in lower case), value, name, value...
};

// The opcode, then the name, the mode and option-value pairs, each ended by a
// zero byte.
Request parseRequest(const QByteArray &datagram)
{
    const QByteArrayList fields = datagram.mid(2).split('\0');
    const quint16 opcode = datagram.size() >= 2 ? qFromBigEndian<quint16>(datagram.constData()) : 0;
    if ((opcode != Tftp::WriteRequest && opcode != Tftp::ReadRequest) || !datagram.endsWith('\0')
        || fields.size() < 3 || fields.at(1).toLower() != "octet")
        return {};
    Request request{ opcode, QString::fromUtf8(fields.at(0)), {} };
    for (qsizetype i = 2; i + 2 < fields.size(); i += 2)
        request.options << fields.at(i).toLower() << fields.at(i + 1);
    return request;
}

// One transfer, from a port of its own: a write, stored as its blocks come
// with a turnaround before each ACK, or a read of a stored file. A transfer
// the client abandons stays until the stand-in goes.
class StandInTransfer : public QObject
{
    Q_OBJECT

public:
    // stored: the file a read asks for, null when there is none.
    StandInTransfer(const StandInDevice &device, const QNetworkDatagram &datagram, const Request &request,
                    const QByteArray &stored, QObject *parent)
        : QObject(parent)
        , m_client(datagram.senderAddress())
        , m_clientPort(quint16(datagram.senderPort()))
        , m_name(request.name)
        , m_turnaround(device.turnaround)
        , m_writing(request.opcode == Tftp::WriteRequest)
        , m_bytes(m_writing ? QByteArray("", 0) : stored) // an empty file is no missing one
    {
        connect(&m_socket, &QUdpSocket::readyRead, this, &StandInTransfer::readDatagrams);
        m_socket.bind(QHostAddress::LocalHost, 0);
        if (m_writing && request.name == device.refusedName)
            end(Tftp::errorPacket(device.refusalCode, device.refusalText));
        else if (!m_writing && stored.isNull())
            end(Tftp::errorPacket(1, "File not found"));
        else
            answer(request.options);
    }

signals:
    void stored(const QString &name, const QByteArray &bytes);

private:
    // A write accepts tsize, blksize and windowsize; a read, lock-step,
        // blksize alone.
    void answer(const QByteArrayList &options)
    {
        QByteArray accepted;
        for (qsizetype i = 0; i + 1 < options.size(); i += 2) {
            const QByteArray &name = options.at(i);
            const QByteArray &value = options.at(i + 1);
            const qint64 number = value.toLongLong();
            if (name == "blksize" && number >= 8 && number <= 65464)
                m_blockSize = number;
            else if (m_writing && name == "windowsize" && number >= 1 && number <= 65535)
                m_windowSize = int(number);
            else if (m_writing && name == "tsize")
                m_bytes.reserve(number);
            else
                continue;
            accepted += name + '\0' + value + '\0';
        }
        if (!accepted.isEmpty())
            send(QByteArray("\0\6", 2) + accepted);
        else if (m_writing)
            send(Tftp::acknowledgement(0));
        else
            sendBlock(1);
    }

    void readDatagrams()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_socket.receiveDatagram();
            const QByteArray data = datagram.data();
            if (quint16(datagram.senderPort()) != m_clientPort || !datagram.senderAddress().isEqual(m_client)
                || data.size() < Tftp::DataHeaderSize)
                continue;
            const quint16 opcode = qFromBigEndian<quint16>(data.constData());
            const quint16 block = qFromBigEndian<quint16>(data.constData() + 2);
            if (opcode == Tftp::Error || (!m_writing && opcode == Tftp::Acknowledgement && block == m_block && m_last))
                return deleteLater();
            if (m_writing && opcode == Tftp::Data)
                receiveBlock(block, data.mid(Tftp::DataHeaderSize));
            else if (!m_writing && opcode == Tftp::Acknowledgement && block == m_block)
                sendBlock(quint16(block + 1));
        }
    }

    // A block out of order, or a repeat, brings the ACK of the last one in
    // order again, unless that ACK is still to come.
    void receiveBlock(quint16 block, const QByteArray &payload)
    {
        if (m_acknowledging)
            return;
        if (block != quint16(m_block + 1))
            return send(Tftp::acknowledgement(m_block));
        m_bytes.append(payload);
        m_block = block;
        m_last = payload.size() < m_blockSize;
        if (++m_inWindow < m_windowSize && !m_last)
            return;
        m_acknowledging = true;
        QTimer::singleShot(m_turnaround, Qt::PreciseTimer, this, &StandInTransfer::acknowledge);
    }

    // The file is on record before the client can learn that it arrived.
    void acknowledge()
    {
        m_inWindow = 0;
        m_acknowledging = false;
        if (!m_last)
            return send(Tftp::acknowledgement(m_block));
        emit stored(m_name, m_bytes);
        end(Tftp::acknowledgement(m_block));
    }

    void sendBlock(quint16 block)
    {
        const QByteArrayView payload = Tftp::blockPayload(m_bytes, block, m_blockSize);
        QByteArray packet(Tftp::DataHeaderSize, Qt::Uninitialized);
        Tftp::writeDataHeader(packet.data(), block);
        m_block = block;
        m_last = payload.size() < m_blockSize;
        send(packet.append(payload));
    }

    void send(const QByteArray &packet) { m_socket.writeDatagram(packet, m_client, m_clientPort); }

    void end(const QByteArray &packet)
    {
        send(packet);
        deleteLater();
    }

    QUdpSocket m_socket;
    QHostAddress m_client;
    quint16 m_clientPort;
    QString m_name;
    std::chrono::milliseconds m_turnaround;
    bool m_acknowledging = false;
    bool m_writing;
    QByteArray m_bytes;
    qsizetype m_blockSize = Tftp::BlockSize;
    int m_windowSize = 1;
    int m_inWindow = 0;
    quint16 m_block = 0; // the last received in order, or sent
    bool m_last = false;
};

} // namespace

DeviceStandIn::DeviceStandIn()
    : m_context(new QObject)
{
    m_thread.setObjectName(u"device stand-in"_s);
    m_context->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    // Devices have processors of their own: the stand-in runs ahead of the
    // client's threads where the system allows it, so that sharing the cores
    // with them does not stretch its turnaround.
    QObject::connect(&m_thread, &QThread::started, [] {
        const sched_param realTime{ sched_get_priority_min(SCHED_FIFO) };
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
    });
    m_thread.start();
}

DeviceStandIn::~DeviceStandIn()
{
    m_thread.quit();
    m_thread.wait();
}

quint16 DeviceStandIn::addDevice(const StandInDevice &device)
{
    quint16 port = 0;
    QMetaObject::invokeMethod(
            m_context,
            [this, &device, &port] {
                auto *socket = new QUdpSocket(m_context);
                if (!socket->bind(QHostAddress::LocalHost, 0)) {
                    delete socket;
                    return;
                }
                port = socket->localPort();
                QObject::connect(socket, &QUdpSocket::readyRead, socket, [this, socket, device, port = port] {
                    while (socket->hasPendingDatagrams()) {
                        const QNetworkDatagram datagram = socket->receiveDatagram();
                        const Request request = parseRequest(datagram.data());
                        if (request.opcode == 0)
                            continue;
                        QTimer::singleShot(device.answerDelay, socket, [this, device, port, datagram, request] {
                            QByteArray stored;
                            for (const File &file : files()) {
                                if (file.port == port && file.name == request.name)
                                    stored = file.bytes;
                            }
                            auto *transfer = new StandInTransfer(device, datagram, request, stored, m_context);
                            QObject::connect(transfer, &StandInTransfer::stored, m_context,
                                             [this, port](const QString &name, const QByteArray &bytes) {
                                                 const QMutexLocker locker(&m_lock);
                                                 m_files.append({ port, name, bytes });
                                             });
                        });
                    }
                });
            },
            Qt::BlockingQueuedConnection);
    return port;
}

QList<DeviceStandIn::File> DeviceStandIn::files() const
{
    const QMutexLocker locker(&m_lock);
    return m_files;
}

void DeviceStandIn::clearFiles()
{
    const QMutexLocker locker(&m_lock);
    m_files.clear();
}

#include "devicestandin.moc"
