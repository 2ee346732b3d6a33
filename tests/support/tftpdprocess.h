#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real TFTP server from Debian's packages on a free loopback port, serving a
// temporary directory of its own (which also holds the start-up probe file
// .tftpd-ready) with uploads allowed: tftpd-hpa (in.tftpd), or atftpd, which
// also speaks RFC 7440 windows, each handed its bound socket as inetd does.
// It is stopped, together with the processes it forked for open transfers,
// when the object goes away, and ends by itself if the thread that started it
// does.
//
// The server is started with a plain fork() rather than QProcess: QProcess
// starts programs with a clone() that shares the parent's memory, which
// ThreadSanitizer handles as a fork, leaving the test program's own analysis
// disabled for the rest of the run.
class TftpdProcess
{
public:
    enum Server { TftpdHpa, Atftpd };

    explicit TftpdProcess(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                          Server server = TftpdHpa);
    ~TftpdProcess();
    Q_DISABLE_COPY_MOVE(TftpdProcess)

    // Empty when the server can serve on this machine, otherwise why it cannot.
    static QString unavailableReason(Server server = TftpdHpa);

    // Added to the server's command line by the next start().
    void setExtraArguments(const QStringList &arguments) { m_extraArguments = arguments; }

    // Starts the server and returns once it answers a read request; on false,
    // errorString() says why.
    bool start();

    QString errorString() const { return m_errorString; }
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }
    QStringList arguments() const { return m_arguments; }
    QString filePath(const QString &name) const { return m_root.filePath(name); }

    // Stores a file the server may hand out: it serves world-readable files only.
    bool writeFile(const QString &name, const QByteArray &data) const;
    // What the server stored under name, or a null array if there is no file.
    QByteArray readFile(const QString &name) const;

private:
    bool spawn(int listeningSocket);
    bool awaitProbeAnswer();
    void stop();

    QHostAddress m_address;
    Server m_server;
    QStringList m_extraArguments;
    QTemporaryDir m_root;
    qint64 m_pid = 0; // the server's, also its process group's; 0 once collected
    quint16 m_port = 0;
    QStringList m_arguments;
    QString m_errorString;
};
