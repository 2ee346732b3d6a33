#pragma once

#include "bench/upload.h"

#include <QList>
#include <QStringList>

class TftpdProcess;

// A peer's version, and the wall times of running it with no transfer at all
// (a version query): its start-up cost, part of every wall time measured for
// it.
struct PeerStartup
{
    QString program;
    QString version;
    QList<double> wallMs;
};

// The tftp-hpa client and curl, with the command lines an engineer types,
// each run to its end as a child process with no input and its output in a
// log file. Wall time runs from the spawn to the reaping, so it includes the
// program's start. CPU time is the user and system time that wait4() reports
// for exactly that child (and children it waited for; the peers start none):
// the kernel's own accounting, untouched by our threads or the server's.
class PeerClients
{
public:
    explicit PeerClients(const QString &logPath);

    // Empty when both programs are installed, otherwise what is missing.
    QStringList missingPrograms() const;

    // The tftp-hpa client exits 0 even when the server answers ERROR: only
    // the stored bytes tell whether an upload worked.
    Upload upload(Client peer, const TftpdProcess &server, const QString &file, const QString &remoteName) const;
    PeerStartup startup(Client peer) const;

private:
    QString program(Client peer) const { return peer == Client::Curl ? m_curl : m_tftp; }
    Upload run(const QStringList &command) const;

    QString m_tftp;
    QString m_curl;
    QString m_logPath;
};
