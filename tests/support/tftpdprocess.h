#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real tftpd-hpa server (in.tftpd) run in the foreground on a free loopback
// port, serving a temporary directory of its own (which also holds the
// start-up probe file .tftpd-ready) with uploads allowed. It is stopped,
// together with the processes it forked for open transfers, when the object
// goes away, and ends by itself if the thread that started it does.
class TftpdProcess
{
public:
    explicit TftpdProcess(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
    ~TftpdProcess();
    TftpdProcess(const TftpdProcess &) = delete;
    TftpdProcess &operator=(const TftpdProcess &) = delete;

    // Empty when in.tftpd can serve on this machine, otherwise why it cannot.
    static QString unavailableReason();

    // Starts the server and returns once it answers a read request; on false,
    // errorString() says why.
    bool start();
    void stop();
    bool isRunning() const;

    QString errorString() const { return m_errorString; }
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }
    QStringList arguments() const { return m_arguments; }
    QString rootPath() const { return m_root.path(); }
    QString filePath(const QString &name) const { return m_root.filePath(name); }

    // Stores a file the server may hand out: it serves world-readable files only.
    bool writeFile(const QString &name, const QByteArray &data) const;
    // What the server stored under name, or a null array if there is no file.
    QByteArray readFile(const QString &name) const;

private:
    bool startOnce();
    bool waitUntilServing();

    QHostAddress m_address;
    QTemporaryDir m_root;
    mutable QProcess m_process; // isRunning() collects an exit
    qint64 m_processGroup = 0;
    quint16 m_port = 0;
    QStringList m_arguments;
    QString m_errorString;
};
