#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QThread>

#include <memory>

// A TFTP server on a loopback address that plays the device's part in the
// transfer tests. It runs on a thread of its own, so the client may block the
// test's thread, and answers every datagram it receives in turn: the request
// is datagram 0, the client's next datagram (DATA k or ACK k) is datagram k.
// By default it answers as a well-behaved server would (ACK k to DATA k; DATA
// k + 1 after the request or ACK k); script() replaces single answers with
// the replies a real server seldom or never gives. Whatever goes wrong on its
// side is a warning, which the transfer tests count as a failure.
//
// The test's thread and the server's share their state under a std::mutex
// only, never through Qt's cross-thread calls: those synchronise inside Qt,
// where ThreadSanitizer cannot see it.
class ScriptedTftpServer
{
public:
    enum class Action {
        Reply, // the regular answer
        ReplyWithOack, // an OACK echoing the request's options (to a write request)
        ReplyFromNewPort, // the regular answer from a fresh socket, used from then on
        ReplyAfterStray, // packet first from 127.0.0.2 to the client's port, then the answer
        Send, // packet instead of the answer
        Silence, // no answer, now or later
    };

    struct Datagram
    {
        QByteArray bytes;
        quint16 senderPort = 0;
        // Arrived at the port the server's latest answer came from (at first,
        // the port it listens on).
        bool toAnsweringPort = false;
    };

    explicit ScriptedTftpServer(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    ~ScriptedTftpServer();
    Q_DISABLE_COPY_MOVE(ScriptedTftpServer)

    // Both take effect for datagrams that arrive afterwards.
    void script(int datagram, Action action, const QByteArray &packet = {});
    void setFileContent(const QByteArray &content); // what a read request gets

    quint16 port() const { return m_port; }

    // Everything the client sent so far, including what the system has
    // delivered to the sockets but the server's thread has not handled yet.
    QList<Datagram> received() const;

    static QByteArray ack(quint16 block);
    static QByteArray data(quint16 block, const QByteArray &payload);
    static QByteArray error(quint16 code, const QByteArray &text);

private:
    class Engine;
    struct Shared;

    std::unique_ptr<Shared> m_shared;
    QThread m_thread;
    quint16 m_port = 0;
};
