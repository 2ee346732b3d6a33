#pragma once

// Helpers shared by the transfer tests, which drive QTftp against the
// scripted server on loopback.

#include "qtftp.h"
#include "scriptedtftpserver.h"

#include <QFutureWatcher>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QThread>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

// One scripted answer of the server, for data-driven tests.
struct ScriptStep
{
    int datagram = 0;
    ScriptedTftpServer::Action action = ScriptedTftpServer::Action::Reply;
    QByteArray packet;
};
using Script = QList<ScriptStep>;
Q_DECLARE_METATYPE(ScriptStep)

inline void load(ScriptedTftpServer &server, const Script &script)
{
    for (const ScriptStep &step : script)
        server.script(step.datagram, step.action, step.packet);
}

inline int countOf(const Script &script, ScriptedTftpServer::Action action)
{
    return int(std::count_if(script.begin(), script.end(),
                             [action](const ScriptStep &step) { return step.action == action; }));
}

// What is wrong with the ports of the datagrams the server received, or
// nothing: the client sends everything from its one bound port, the request to
// the server's port and every later datagram to the port that the server's
// latest answer came from.
inline QString portProblem(const QList<ScriptedTftpServer::Datagram> &received, quint16 serverPort,
                           quint16 clientPort, const Script &script)
{
    QList<quint16> answeringPorts{ serverPort };
    for (qsizetype i = 0; i < received.size(); ++i) {
        const ScriptedTftpServer::Datagram &datagram = received[i];
        if (datagram.senderPort != clientPort)
            return QStringLiteral("datagram %1 came from port %2, not %3")
                    .arg(i)
                    .arg(datagram.senderPort)
                    .arg(clientPort);
        const auto hops = std::count_if(script.begin(), script.end(), [i](const ScriptStep &step) {
            return step.action == ScriptedTftpServer::Action::ReplyFromNewPort && step.datagram < i;
        });
        if (hops == answeringPorts.size() && !answeringPorts.contains(datagram.localPort))
            answeringPorts.append(datagram.localPort);
        if (datagram.localPort != answeringPorts.value(hops))
            return QStringLiteral("datagram %1 went to port %2, expected the port of answer %3")
                    .arg(i)
                    .arg(datagram.localPort)
                    .arg(hops);
    }
    return {};
}

inline void pointAt(QTftp &tftp, const ScriptedTftpServer &server, const QString &address = QStringLiteral("127.0.0.1"))
{
    tftp.setLocalAddress(address);
    tftp.setRemoteAddress(address);
    tftp.setRemotePort(server.port());
}

// Runs a transfer on the global pool, as the application does, and returns
// once the future's finished notification has arrived: the queued property
// updates of the transfer are delivered ahead of it. Returns -1 on time-out.
template <typename Transfer>
int runInPool(Transfer transfer, int timeoutMs = 30000)
{
    QFutureWatcher<bool> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<bool>::finished);
    watcher.setFuture(QtConcurrent::run(std::move(transfer)));
    if (!finished.wait(timeoutMs))
        return -1;
    return watcher.result() ? 1 : 0;
}

// Every property change the window would see, in order, and whether any of
// them was emitted on another thread than the controller's.
struct PropertyLog
{
    QStringList statuses;
    QList<int> sizes;
    QList<int> progress;
    QStringList events;
    bool offThread = false;

    explicit PropertyLog(QTftp &tftp)
    {
        const auto log = [this, &tftp](const QString &event) {
            events.append(event);
            offThread = offThread || QThread::currentThread() != tftp.thread();
        };
        QObject::connect(&tftp, &QTftp::errorStringChanged, &tftp, [this, log](const QString &text) {
            statuses.append(text);
            log(QStringLiteral("status ") + text);
        }, Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::fileSizeChanged, &tftp, [this, log](int size) {
            sizes.append(size);
            log(QStringLiteral("size %1").arg(size));
        }, Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::fileProgressChanged, &tftp, [this, log](int value) {
            progress.append(value);
            log(QStringLiteral("progress %1").arg(value));
        }, Qt::DirectConnection);
        QObject::connect(&tftp, &QTftp::localPortChanged, &tftp,
                         [log](unsigned short port) { log(QStringLiteral("port %1").arg(port)); }, Qt::DirectConnection);
    }
};

// Pseudo-random bytes, so that a block sent twice, dropped or out of order
// shows as wrong content.
inline QByteArray testImage(qsizetype size)
{
    QByteArray image(size, Qt::Uninitialized);
    QRandomGenerator generator{ quint32(size) };
    for (qsizetype i = 0; i < size; ++i)
        image[i] = char(generator.generate());
    return image;
}

inline quint16 blockOf(const QByteArray &packet)
{
    return quint16((quint8(packet.at(2)) << 8) | quint8(packet.at(3)));
}

// The text a socket gives once a wait for a datagram has run out.
inline QString timedOutText()
{
    QUdpSocket socket;
    socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
    socket.waitForReadyRead(1);
    return socket.errorString();
}
