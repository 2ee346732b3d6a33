#pragma once

// Helpers shared by the transfer tests, which drive QTftp against the
// scripted server (or tftpd-hpa) on loopback.

#include "qtftp.h"
#include "scriptedtftpserver.h"

#include <QFutureWatcher>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <tuple>

// Scripted answers of the server (datagram, action, packet), for data-driven tests.
using Script = QList<std::tuple<int, ScriptedTftpServer::Action, QByteArray>>;

inline void load(ScriptedTftpServer &server, const Script &script)
{
    for (const auto &[datagram, action, packet] : script)
        server.script(datagram, action, packet);
}

// What the client sent, in order. The client sends everything from its one
// port, each datagram to the port of the server's latest answer; one that
// does not shows as "misrouted", so that a comparison reports it.
inline QByteArrayList sent(const ScriptedTftpServer &server, quint16 clientPort)
{
    QByteArrayList packets;
    for (const ScriptedTftpServer::Datagram &datagram : server.received())
        packets.append(datagram.senderPort == clientPort && datagram.toAnsweringPort
                               ? datagram.bytes
                               : "misrouted " + datagram.bytes.toHex(' '));
    return packets;
}

template <typename Server>
void pointAt(QTftp &tftp, const Server &server, const QString &address = QStringLiteral("127.0.0.1"))
{
    tftp.setLocalAddress(address);
    tftp.setRemoteAddress(address);
    tftp.setRemotePort(server.port());
}

// Runs a transfer on the global pool, as the application does, and returns
// once the future's finished notification has arrived: the queued property
// updates of the transfer are delivered ahead of it. Returns -1 on time-out.
// The pool's threads end first, so the transfer gets a new one: a thread that
// took it from the pool's queue would be ordered after this one only inside
// Qt, where ThreadSanitizer cannot see it.
template <typename Transfer>
int runInPool(Transfer transfer, int timeoutMs = 30000)
{
    QThreadPool::globalInstance()->waitForDone();
    QFutureWatcher<bool> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<bool>::finished);
    watcher.setFuture(QtConcurrent::run(std::move(transfer)));
    if (!finished.wait(timeoutMs))
        return -1;
    return watcher.result() ? 1 : 0;
}

// Every property change the window would see, in order, as "port N",
// "status TEXT", "size N" or "progress N"; and whether any of them was
// emitted on another thread than the controller's.
struct PropertyLog
{
    QStringList events;
    bool offThread = false;

    explicit PropertyLog(QTftp &tftp)
    {
        const auto record = [this, &tftp](const QString &kind) {
            return [this, &tftp, kind](const auto &value) {
                events.append(kind + u' ' + QVariant::fromValue(value).toString());
                offThread = offThread || QThread::currentThread() != tftp.thread();
            };
        };
        QObject::connect(&tftp, &QTftp::localPortChanged, &tftp, record(QStringLiteral("port")), Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::errorStringChanged, &tftp, record(QStringLiteral("status")),
                         Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::fileSizeChanged, &tftp, record(QStringLiteral("size")), Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::fileProgressChanged, &tftp, record(QStringLiteral("progress")),
                         Qt::DirectConnection);
    }

    // The values of one kind, in order.
    QStringList of(const QString &kind) const
    {
        QStringList values;
        for (const QString &event : events)
            if (event.startsWith(kind + u' '))
                values.append(event.mid(kind.size() + 1));
        return values;
    }
};

// Pseudo-random bytes, the same for the same size, so that a block sent
// twice, dropped or out of order shows as wrong content.
inline QByteArray testImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(quint32(size)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// The text a socket bound to local gives when it cannot bind, when it cannot
// send to remote, or (no remote) when a wait for a datagram runs out.
inline QString socketErrorText(const QString &local, const QString &remote = {})
{
    QUdpSocket socket;
    if (socket.bind(QHostAddress(local), 0)) {
        if (remote.isEmpty())
            socket.waitForReadyRead(1);
        else
            socket.writeDatagram("x", QHostAddress(remote), 9);
    }
    return socket.errorString();
}
