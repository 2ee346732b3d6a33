#include "scriptedtftpserver.h"

#include <QHash>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr int blockSize = 512;

quint16 numberAt(const QByteArray &bytes, int offset)
{
    if (bytes.size() < offset + 2)
        return 0;
    return quint16((quint8(bytes[offset]) << 8) | quint8(bytes[offset + 1]));
}

QByteArray number(quint16 value)
{
    const char bytes[] = { char(value >> 8), char(value & 0xff) };
    return QByteArray(bytes, 2);
}

} // namespace

// What the test's thread and the server's thread both use, under mutex.
struct ScriptedTftpServer::Shared
{
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool stopped = false;
    quint16 port = 0;
    QHash<int, std::pair<Action, QByteArray>> script;
    QByteArray content;
    QList<Datagram> received;
    // Drains asked for and done, counted; a drain covers every request made
    // before it began.
    quint64 drainsRequested = 0;
    quint64 drainsDone = 0;
};

// Lives on the server's thread, which alone touches its sockets.
class ScriptedTftpServer::Engine : public QObject
{
public:
    explicit Engine(Shared &shared) : m_shared(shared) { }

    // On the server's thread, first thing: binds, then tells the test's
    // thread the port (0 if none).
    void start(const QHostAddress &address)
    {
        m_address = address;
        m_replySocket = openSocket(address);
        // The test's thread asks for drains under the mutex alone, so the
        // server's thread looks every millisecond.
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, &Engine::drainIfAsked);
        poll->start(1);
        const std::lock_guard lock(m_shared.mutex);
        m_shared.port = m_replySocket ? m_replySocket->localPort() : 0;
        m_shared.started = true;
        m_shared.changed.notify_all();
    }

    // Runs on the server's thread as it ends. The test's thread waits for
    // this before it frees the shared state: QThread::wait() alone orders the
    // thread's end inside Qt, where ThreadSanitizer cannot see it.
    ~Engine() override
    {
        const std::lock_guard lock(m_shared.mutex);
        m_shared.stopped = true;
        m_shared.changed.notify_all();
    }

private:
    // Handles what has arrived but not been signalled yet.
    void drainIfAsked()
    {
        quint64 requested = 0;
        {
            const std::lock_guard lock(m_shared.mutex);
            requested = m_shared.drainsRequested;
            if (requested == m_shared.drainsDone)
                return;
        }
        for (QUdpSocket *socket : std::as_const(m_sockets))
            handle(socket);
        // Notified under the lock, so that the waiter cannot return and free
        // the condition variable while it is still being notified.
        const std::lock_guard lock(m_shared.mutex);
        m_shared.drainsDone = requested;
        m_shared.changed.notify_all();
    }

    QUdpSocket *openSocket(const QHostAddress &address)
    {
        auto *socket = new QUdpSocket(this);
        if (!socket->bind(address, 0)) {
            qWarning("Scripted TFTP server: cannot bind %s: %s", qPrintable(address.toString()),
                     qPrintable(socket->errorString()));
            delete socket;
            return nullptr;
        }
        m_sockets.append(socket);
        connect(socket, &QUdpSocket::readyRead, this, [this, socket] { handle(socket); });
        return socket;
    }

    void handle(QUdpSocket *socket)
    {
        while (socket->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket->receiveDatagram();
            const std::lock_guard lock(m_shared.mutex);
            const int index = int(m_shared.received.size());
            m_shared.received.append({ datagram.data(), quint16(datagram.senderPort()), socket == m_replySocket });
            if (!m_silent)
                answer(datagram, index);
        }
    }

    // Called with the mutex held.
    void answer(const QNetworkDatagram &datagram, int index)
    {
        const auto [action, packet] = m_shared.script.value(index, { Action::Reply, {} });
        const auto send = [&datagram](QUdpSocket *from, const QByteArray &bytes) {
            if (from->writeDatagram(bytes, datagram.senderAddress(), quint16(datagram.senderPort())) != bytes.size())
                qWarning("Scripted TFTP server: cannot send: %s", qPrintable(from->errorString()));
        };
        switch (action) {
        case Action::Reply:
            break;
        case Action::ReplyWithOack:
            return send(m_replySocket, oack(datagram.data()));
        case Action::ReplyFromNewPort:
            if (QUdpSocket *fresh = openSocket(m_address))
                m_replySocket = fresh;
            break;
        case Action::ReplyAfterStray:
            if (!m_straySocket)
                m_straySocket = openSocket(QHostAddress(QStringLiteral("127.0.0.2")));
            if (m_straySocket)
                send(m_straySocket, packet);
            break;
        case Action::Send:
            return send(m_replySocket, packet);
        case Action::Silence:
            m_silent = true;
            return;
        }
        // The regular answer: ACK 0 to a write request and ACK k to DATA k;
        // after a read request or ACK k, DATA k + 1 until the file's last
        // (short) block has been acknowledged.
        const QByteArray bytes = datagram.data();
        if (numberAt(m_shared.received.constFirst().bytes, 0) != 1)
            send(m_replySocket, ack(numberAt(bytes, 0) == 2 ? 0 : numberAt(bytes, 2)));
        else if (const qsizetype offset = qsizetype(index) * blockSize; offset <= m_shared.content.size())
            send(m_replySocket, data(quint16(index + 1), m_shared.content.mid(offset, blockSize)));
    }

    // Option names and values follow the file name and the mode.
    static QByteArray oack(const QByteArray &request)
    {
        QByteArray reply = number(6);
        const QList<QByteArray> fields = request.mid(2).split('\0');
        for (qsizetype i = 2; i + 1 < fields.size(); i += 2)
            reply += fields[i] + '\0' + fields[i + 1] + '\0';
        return reply;
    }

    Shared &m_shared;
    QHostAddress m_address;
    QList<QUdpSocket *> m_sockets;
    QUdpSocket *m_replySocket = nullptr;
    QUdpSocket *m_straySocket = nullptr;
    bool m_silent = false;
};

ScriptedTftpServer::ScriptedTftpServer(const QHostAddress &address)
    : m_shared(std::make_unique<Shared>())
{
    // Made here and handed over when the thread starts, which orders all of
    // this before anything the server's thread does.
    auto *engine = new Engine(*m_shared);
    engine->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::started, engine, [engine, address] { engine->start(address); },
                     Qt::DirectConnection);
    QObject::connect(&m_thread, &QThread::finished, engine, &QObject::deleteLater);
    m_thread.start();
    std::unique_lock lock(m_shared->mutex);
    m_shared->changed.wait(lock, [this] { return m_shared->started; });
    m_port = m_shared->port;
}

ScriptedTftpServer::~ScriptedTftpServer()
{
    m_thread.quit();
    m_thread.wait();
    std::unique_lock lock(m_shared->mutex);
    m_shared->changed.wait(lock, [this] { return m_shared->stopped; });
}

void ScriptedTftpServer::script(int datagram, Action action, const QByteArray &packet)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->script.insert(datagram, { action, packet });
}

void ScriptedTftpServer::setFileContent(const QByteArray &content)
{
    const std::lock_guard lock(m_shared->mutex);
    m_shared->content = content;
}

QList<ScriptedTftpServer::Datagram> ScriptedTftpServer::received() const
{
    std::unique_lock lock(m_shared->mutex);
    const quint64 ticket = ++m_shared->drainsRequested;
    if (!m_shared->changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_shared->drainsDone >= ticket; }))
        qWarning("Scripted TFTP server: the server's thread did not drain its sockets in time");
    // A fresh copy: with a shared one, the server's thread would append in
    // place once the caller drops its copy, ordered only by a reference count
    // that Qt reads without acquiring.
    return QList<Datagram>(m_shared->received.cbegin(), m_shared->received.cend());
}

QByteArray ScriptedTftpServer::ack(quint16 block)
{
    return number(4) + number(block);
}

QByteArray ScriptedTftpServer::data(quint16 block, const QByteArray &payload)
{
    return number(3) + number(block) + payload;
}

QByteArray ScriptedTftpServer::error(quint16 code, const QByteArray &text)
{
    return number(5) + number(code) + text + '\0';
}
