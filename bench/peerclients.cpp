#include "bench/peerclients.h"

#include "bench/childrun.h"
#include "tftpdprocess.h"

#include <QFile>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// A peer still running after this long is stopped and counted as failed. Our
// client needs no such limit: it gives up by itself after 10 s of silence.
constexpr int peerTimeoutMs = 120000;

} // namespace

PeerClients::PeerClients(const QString &logPath)
    : m_tftp(QStandardPaths::findExecutable(u"tftp"_s))
    , m_curl(QStandardPaths::findExecutable(u"curl"_s))
    , m_logPath(logPath)
{
}

QStringList PeerClients::missingPrograms() const
{
    QStringList missing;
    if (m_tftp.isEmpty())
        missing.append(u"tftp is not installed (Debian package tftp-hpa)"_s);
    if (m_curl.isEmpty())
        missing.append(u"curl is not installed (Debian package curl)"_s);
    return missing;
}

Upload PeerClients::upload(Client peer, const TftpdProcess &server, const QString &file,
                           const QString &remoteName) const
{
    const QString address = server.address().toString();
    const QString port = QString::number(server.port());
    if (peer == Client::TftpHpa)
        return run({ m_tftp, u"-m"_s, u"binary"_s, address, port, u"-c"_s, u"put"_s, file, remoteName });
    return run({ m_curl, u"-sS"_s, u"--tftp-blksize"_s, QString::number(Tftp::BlockSize), u"-T"_s, file,
                 u"tftp://%1:%2/%3"_s.arg(address, port, remoteName) });
}

PeerStartup PeerClients::startup(Client peer) const
{
    constexpr int samples = 5;
    PeerStartup startup{ program(peer), {}, {} };
    for (int i = 0; i < samples; ++i)
        startup.wallMs.append(run({ startup.program, peer == Client::Curl ? u"--version"_s : u"-V"_s }).wallMs);
    QFile log(m_logPath);
    if (log.open(QIODevice::ReadOnly))
        startup.version = QString::fromLocal8Bit(log.readLine()).section(u" ("_s, 0, 0).trimmed();
    return startup;
}

Upload PeerClients::run(const QStringList &command) const
{
    const ChildRun child = runChild(command, QProcessEnvironment::systemEnvironment(), m_logPath, peerTimeoutMs);
    Upload result;
    result.wallMs = child.wallMs;
    result.cpuMs = child.cpuMs;
    if (!child.failure.isEmpty())
        result.failure = u"%1 %2: %3"_s.arg(command.constFirst(), child.failure, child.output.trimmed());
    else if (child.exitCode != 0)
        result.failure = u"%1 exited with code %2: %3"_s.arg(command.constFirst()).arg(child.exitCode).arg(child.output.trimmed());
    return result;
}
