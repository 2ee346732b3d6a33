#include "scriptedtftpserver.h"

#include <QHash>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <tuple>

#include <fcntl.h>
#include <unistd.h>

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
    QByteArray uploaded;
    int strays = 0;
    // Drains asked for and done, counted; a drain covers every request made
    // before it began.
    quint64 drainsRequested = 0;
    quint64 drainsDone = 0;
    // The test's thread writes a byte to wake[1]; the server's thread reads
    // wake[0] and then drains.
    int wake[2] = { -1, -1 };
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
        auto *wake = new QSocketNotifier(m_shared.wake[0], QSocketNotifier::Read, this);
        connect(wake, &QSocketNotifier::activated, this, &Engine::drainOnRequest);
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
    struct Answer
    {
        Action action = Action::Reply;
        QByteArray packet;
        std::optional<QByteArray> regular;
    };

    void drainOnRequest()
    {
        char bytes[64];
        while (::read(m_shared.wake[0], bytes, sizeof bytes) > 0) {
        }
        quint64 requested = 0;
        {
            const std::lock_guard lock(m_shared.mutex);
            requested = m_shared.drainsRequested;
        }
        // Handles what has arrived but not been signalled yet.
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
            const QByteArray bytes = datagram.data();
            int index = 0;
            Answer answer;
            {
                const std::lock_guard lock(m_shared.mutex);
                index = int(m_shared.received.size());
                m_shared.received.append({ bytes, quint16(datagram.senderPort()), socket->localPort() });
                const bool readRequested = numberAt(m_shared.received.constFirst().bytes, 0) == 1;
                if (index > 0 && !readRequested && numberAt(bytes, 0) == 3)
                    m_shared.uploaded.append(bytes.mid(4));
                std::tie(answer.action, answer.packet) = m_shared.script.value(index, { Action::Reply, {} });
                answer.regular = regularAnswer(bytes, index, readRequested);
            }
            if (!m_silent)
                reply(datagram, answer);
        }
    }

    void reply(const QNetworkDatagram &datagram, const Answer &answer)
    {
        const QHostAddress client = datagram.senderAddress();
        const quint16 clientPort = quint16(datagram.senderPort());
        switch (answer.action) {
        case Action::Reply:
            break;
        case Action::ReplyWithOack:
            send(m_replySocket, oack(datagram.data()), client, clientPort);
            return;
        case Action::ReplyFromNewPort:
            if (QUdpSocket *fresh = openSocket(m_address))
                m_replySocket = fresh;
            break;
        case Action::ReplyAfterStray:
            if (!m_straySocket)
                m_straySocket = openSocket(QHostAddress(QStringLiteral("127.0.0.2")));
            if (m_straySocket && send(m_straySocket, answer.packet, client, clientPort)) {
                const std::lock_guard lock(m_shared.mutex);
                ++m_shared.strays;
            }
            break;
        case Action::Send:
            send(m_replySocket, answer.packet, client, clientPort);
            return;
        case Action::Silence:
            m_silent = true;
            return;
        }
        if (answer.regular)
            send(m_replySocket, *answer.regular, client, clientPort);
    }

    // ACK 0 to a write request and ACK k to DATA k; after a read request or
    // ACK k, DATA k + 1 until the file's last (short) block has been
    // acknowledged. Called with the mutex held.
    std::optional<QByteArray> regularAnswer(const QByteArray &bytes, int index, bool readRequested) const
    {
        if (!readRequested)
            return ack(numberAt(bytes, 0) == 2 ? 0 : numberAt(bytes, 2));
        const qsizetype offset = qsizetype(index) * blockSize;
        if (offset > m_shared.content.size())
            return std::nullopt;
        return data(quint16(index + 1), m_shared.content.mid(offset, blockSize));
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

    static bool send(QUdpSocket *socket, const QByteArray &bytes, const QHostAddress &to, quint16 port)
    {
        if (socket->writeDatagram(bytes, to, port) == bytes.size())
            return true;
        qWarning("Scripted TFTP server: cannot send: %s", qPrintable(socket->errorString()));
        return false;
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
    if (::pipe2(m_shared->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("Scripted TFTP server: cannot create a pipe: %s", strerror(errno));
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
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->changed.wait(lock, [this] { return m_shared->stopped; });
    }
    ::close(m_shared->wake[0]);
    ::close(m_shared->wake[1]);
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

void ScriptedTftpServer::drain() const
{
    constexpr auto timeout = std::chrono::seconds(30);
    std::unique_lock lock(m_shared->mutex);
    const quint64 ticket = ++m_shared->drainsRequested;
    lock.unlock();
    // A full pipe already holds a wake-up, which is all a byte is.
    const char byte = 0;
    if (::write(m_shared->wake[1], &byte, 1) < 0 && errno != EAGAIN)
        qWarning("Scripted TFTP server: cannot wake the server's thread: %s", strerror(errno));
    lock.lock();
    if (!m_shared->changed.wait_for(lock, timeout, [&] { return m_shared->drainsDone >= ticket; }))
        qWarning("Scripted TFTP server: the server's thread did not drain its sockets in time");
}

// Fresh copies: with a shared one, the server's thread would append in place
// once the caller drops its copy, ordered only by a reference count that Qt
// reads without acquiring.
QList<ScriptedTftpServer::Datagram> ScriptedTftpServer::received() const
{
    drain();
    const std::lock_guard lock(m_shared->mutex);
    return QList<Datagram>(m_shared->received.cbegin(), m_shared->received.cend());
}

QByteArray ScriptedTftpServer::uploaded() const
{
    drain();
    const std::lock_guard lock(m_shared->mutex);
    return QByteArray(m_shared->uploaded.constData(), m_shared->uploaded.size());
}

int ScriptedTftpServer::straysSent() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->strays;
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
