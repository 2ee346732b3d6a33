#include "tests/support/devicestandin.h"

#include "tftp/tftppacket.h"

#include <QEventLoop>
#include <QNetworkDatagram>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <future>

#include <pthread.h>
#include <sched.h>

namespace {

// One transfer, from a port of its own: a write, stored as its blocks come
// with a turnaround before each ACK, or a read of a stored file. The request's
// fields: the file name, the mode, then option names and values.
class StandInTransfer : public QObject
{
    Q_OBJECT

public:
    StandInTransfer(const StandInDevice &device, const QNetworkDatagram &request, const QByteArrayList &fields,
                    const QByteArray &stored, QObject *parent)
        : QObject(parent)
        , m_device(device)
        , m_client(request.senderAddress())
        , m_clientPort(quint16(request.senderPort()))
        , m_name(QString::fromUtf8(fields.at(0)))
        , m_writing(request.data().at(1) == Tftp::WriteRequest)
        , m_refused(m_writing && m_name == device.refusedName)
        , m_bytes(m_writing ? QByteArray("", 0) : stored) // an empty file is no missing one
    {
        connect(&m_socket, &QUdpSocket::readyRead, this, &StandInTransfer::readDatagrams);
        m_socket.bind(QHostAddress::LocalHost, 0);
        // A write accepts tsize, blksize and windowsize; a read, lock-step, none.
        QByteArray accepted;
        for (qsizetype i = 2; m_writing && i + 2 < fields.size(); i += 2) {
            const QByteArray name = fields.at(i).toLower();
            const qint64 value = fields.at(i + 1).toLongLong();
            if (name == "blksize" && value >= 8 && value <= 65464)
                m_blockSize = value;
            else if (name == "windowsize" && value >= 1 && value <= 65535)
                m_windowSize = int(value);
            else if (name != "tsize")
                continue;
            accepted += name + '\0' + fields.at(i + 1) + '\0';
        }
        if (m_refused && device.refusedBlock == 0)
            end(Tftp::errorPacket(device.refusalCode, device.refusalText));
        else if (m_writing)
            send(accepted.isEmpty() ? Tftp::acknowledgement(0) : QByteArray("\0\6", 2) + accepted);
        else if (stored.isNull())
            end(Tftp::errorPacket(1, "File not found"));
        else
            sendBlock(1);
    }

signals:
    void stored(const QString &name, const QByteArray &bytes);

private:
    void readDatagrams()
    {
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_socket.receiveDatagram();
            const QByteArray data = datagram.data();
            if (quint16(datagram.senderPort()) != m_clientPort || data.size() < Tftp::DataHeaderSize)
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
        QTimer::singleShot(m_device.turnaround, Qt::PreciseTimer, this, &StandInTransfer::acknowledge);
    }

    // The file is on record before the client can learn that it arrived.
    void acknowledge()
    {
        m_inWindow = 0;
        m_acknowledging = false;
        if (m_refused && m_block >= m_device.refusedBlock)
            return end(Tftp::errorPacket(m_device.refusalCode, m_device.refusalText));
        if (!m_last)
            return send(Tftp::acknowledgement(m_block));
        emit stored(m_name, m_bytes);
        end(Tftp::acknowledgement(m_block));
    }

    void sendBlock(quint16 block)
    {
        QByteArray packet(Tftp::DataHeaderSize, Qt::Uninitialized);
        Tftp::writeDataHeader(packet.data(), block);
        packet.append(Tftp::blockPayload(m_bytes, block, m_blockSize));
        m_block = block;
        m_last = packet.size() - Tftp::DataHeaderSize < m_blockSize;
        send(packet);
    }

    void send(const QByteArray &packet) { m_socket.writeDatagram(packet, m_client, m_clientPort); }

    void end(const QByteArray &packet)
    {
        send(packet);
        deleteLater();
    }

    const StandInDevice m_device;
    QUdpSocket m_socket;
    QHostAddress m_client;
    quint16 m_clientPort;
    QString m_name;
    bool m_writing;
    bool m_refused;
    QByteArray m_bytes;
    qsizetype m_blockSize = Tftp::BlockSize;
    int m_windowSize = 1;
    int m_inWindow = 0;
    bool m_acknowledging = false;
    quint16 m_block = 0; // the last received in order, or sent
    bool m_last = false;
};

} // namespace

// The devices' ports are bound and the thread's event dispatcher is made
// before the constructor returns. The thread is a std::thread, whose start
// and join ThreadSanitizer sees; so are the promise and the mutex that pass
// data across, where Qt's own hand-overs would be hidden from it.
DeviceStandIn::DeviceStandIn(const QList<StandInDevice> &devices)
{
    std::promise<void> opened;
    m_thread = std::thread([this, devices, &opened] {
        // Devices have processors of their own: the stand-in runs ahead of the
        // client's threads where the system allows it, so that sharing the
        // cores with them does not stretch its turnaround.
        const sched_param realTime{ sched_get_priority_min(SCHED_FIFO) };
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
        QEventLoop loop;
        QObject context; // parent of every socket and transfer
        for (const StandInDevice &device : devices) {
            auto *socket = new QUdpSocket(&context);
            socket->bind(QHostAddress::LocalHost, 0);
            m_ports.append(socket->localPort());
            QObject::connect(socket, &QUdpSocket::readyRead, socket, [this, &context, socket, device] {
                while (socket->hasPendingDatagrams())
                    answer(device, socket->localPort(), socket->receiveDatagram(), &context);
            });
        }
        m_loopThread = QThread::currentThread();
        opened.set_value();
        loop.exec();
    });
    opened.get_future().wait();
}

DeviceStandIn::~DeviceStandIn()
{
    m_loopThread->exit();
    m_thread.join();
}

// A request in octet mode is answered after the device's delay; any other
// datagram is ignored.
void DeviceStandIn::answer(const StandInDevice &device, quint16 port, const QNetworkDatagram &request,
                           QObject *context)
{
    const QByteArray data = request.data();
    const QByteArrayList fields = data.mid(2).split('\0');
    if (!data.startsWith(QByteArray("\0\1", 2)) && !data.startsWith(QByteArray("\0\2", 2)))
        return;
    if (fields.size() < 3 || fields.at(1).toLower() != "octet" || !data.endsWith('\0'))
        return;
    QTimer::singleShot(device.answerDelay, context, [=] {
        auto *transfer = new StandInTransfer(device, request, fields, file(port, QString::fromUtf8(fields.at(0))), context);
        QObject::connect(transfer, &StandInTransfer::stored, context,
                         [this, port](const QString &name, const QByteArray &bytes) {
                             const std::lock_guard locker(m_lock);
                             m_files.append({ port, name, bytes });
                         });
    });
}

QList<DeviceStandIn::File> DeviceStandIn::files() const
{
    const std::lock_guard locker(m_lock);
    return m_files;
}

QByteArray DeviceStandIn::file(quint16 port, const QString &name) const
{
    const std::lock_guard locker(m_lock);
    for (auto file = m_files.crbegin(); file != m_files.crend(); ++file) {
        if (file->port == port && file->name == name)
            return file->bytes;
    }
    return {};
}

void DeviceStandIn::clearFiles()
{
    const std::lock_guard locker(m_lock);
    m_files.clear();
}

#include "devicestandin.moc"
