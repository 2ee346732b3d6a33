#include "scriptedtftpserver.h"

#include <QHash>
#include <QNetworkDatagram>
#include <QUdpSocket>

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

// Lives on the server's thread, which alone touches its members.
class ScriptedTftpServer::Engine : public QObject
{
public:
    quint16 listen(const QHostAddress &address)
    {
        m_address = address;
        m_replySocket = openSocket(address);
        return m_replySocket ? m_replySocket->localPort() : 0;
    }

    // Handles what has arrived but not been signalled yet.
    void drain()
    {
        for (QUdpSocket *socket : std::as_const(m_sockets))
            handle(socket);
    }

    QHash<int, std::pair<Action, QByteArray>> script;
    QByteArray content;
    QList<Datagram> received;
    QByteArray uploaded;
    int strays = 0;

private:
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
            const int index = int(received.size());
            received.append({ datagram.data(), quint16(datagram.senderPort()), socket->localPort() });
            if (index > 0 && !readRequested() && numberAt(datagram.data(), 0) == 3)
                uploaded.append(datagram.data().mid(4));
            if (!m_silent)
                answer(datagram, index);
        }
    }

    void answer(const QNetworkDatagram &datagram, int index)
    {
        const auto [action, packet] = script.value(index, { Action::Reply, {} });
        const QHostAddress client = datagram.senderAddress();
        const quint16 clientPort = quint16(datagram.senderPort());
        switch (action) {
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
            if (m_straySocket && send(m_straySocket, packet, client, clientPort))
                ++strays;
            break;
        case Action::Send:
            send(m_replySocket, packet, client, clientPort);
            return;
        case Action::Silence:
            m_silent = true;
            return;
        }
        if (const std::optional<QByteArray> reply = regularAnswer(datagram.data(), index))
            send(m_replySocket, *reply, client, clientPort);
    }

    bool readRequested() const { return !received.isEmpty() && numberAt(received.constFirst().bytes, 0) == 1; }

    // ACK 0 to a write request and ACK k to DATA k; after a read request or
    // ACK k, DATA k + 1 until the file's last (short) block has been
    // acknowledged.
    std::optional<QByteArray> regularAnswer(const QByteArray &bytes, int index) const
    {
        if (!readRequested())
            return ack(numberAt(bytes, 0) == 2 ? 0 : numberAt(bytes, 2));
        const qsizetype offset = qsizetype(index) * blockSize;
        if (offset > content.size())
            return std::nullopt;
        return data(quint16(index + 1), content.mid(offset, blockSize));
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

    QHostAddress m_address;
    QList<QUdpSocket *> m_sockets;
    QUdpSocket *m_replySocket = nullptr;
    QUdpSocket *m_straySocket = nullptr;
    bool m_silent = false;
};

template <typename F>
void ScriptedTftpServer::onServerThread(F f) const
{
    QMetaObject::invokeMethod(m_engine, std::move(f), Qt::BlockingQueuedConnection);
}

ScriptedTftpServer::ScriptedTftpServer(const QHostAddress &address)
    : m_engine(new Engine)
{
    m_engine->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_engine, &QObject::deleteLater);
    m_thread.start();
    onServerThread([this, address] { m_port = m_engine->listen(address); });
}

ScriptedTftpServer::~ScriptedTftpServer()
{
    m_thread.quit();
    m_thread.wait();
}

void ScriptedTftpServer::script(int datagram, Action action, const QByteArray &packet)
{
    onServerThread([this, datagram, action, packet] { m_engine->script.insert(datagram, { action, packet }); });
}

void ScriptedTftpServer::setFileContent(const QByteArray &content)
{
    onServerThread([this, content] { m_engine->content = content; });
}

QList<ScriptedTftpServer::Datagram> ScriptedTftpServer::received() const
{
    QList<Datagram> result;
    onServerThread([this, &result] {
        m_engine->drain();
        result = m_engine->received;
    });
    return result;
}

QByteArray ScriptedTftpServer::uploaded() const
{
    QByteArray result;
    onServerThread([this, &result] {
        m_engine->drain();
        result = m_engine->uploaded;
    });
    return result;
}

int ScriptedTftpServer::straysSent() const
{
    int result = 0;
    onServerThread([this, &result] { result = m_engine->strays; });
    return result;
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
