#include "peerclients.h"

#include "tftpdprocess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace Qt::StringLiterals;

namespace {

// A peer still running after this long is stopped and counted as failed. Our
// client needs no such limit: it gives up by itself after 10 s of silence.
constexpr int peerTimeoutMs = 120000;

// Waits for the process behind pidfd to end; false after timeoutMs.
bool waitForExit(int pidfd, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd watched{ pidfd, POLLIN, 0 };
        const int ready = ::poll(&watched, 1, int(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// Empty for a normal exit with code 0.
QString exitDescription(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? QString() : u"exited with code %1"_s.arg(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return u"ended by signal %1"_s.arg(WTERMSIG(status));
    return u"ended with status %1"_s.arg(status);
}

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
    QByteArrayList arguments;
    for (const QString &argument : command)
        arguments.append(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const QByteArray log = QFile::encodeName(m_logPath);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);

    Upload result;
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, argv.front(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        result.failure = u"cannot start %1: %2"_s.arg(command.constFirst(), qt_error_string(spawnError));
        return result;
    }

    // Without a pidfd (kernels before 5.3) wait4 below waits without a limit.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    const bool ended = pidfd < 0 || waitForExit(pidfd, peerTimeoutMs);
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    rusage usage{};
    pid_t reaped = -1;
    do
        reaped = ::wait4(pid, &status, 0, &usage);
    while (reaped < 0 && errno == EINTR);
    result.wallMs = wall.nsecsElapsed() / 1e6;
    result.cpuMs = userAndSystemMs(usage);
    const int waitError = errno;
    if (pidfd >= 0)
        ::close(pidfd);

    if (reaped != pid)
        result.failure = u"%1 could not be waited for: %2"_s.arg(command.constFirst(), qt_error_string(waitError));
    else if (!ended)
        result.failure = u"%1 did not end within %2 s"_s.arg(command.constFirst()).arg(peerTimeoutMs / 1000);
    else if (const QString exit = exitDescription(status); !exit.isEmpty())
        result.failure = u"%1 %2"_s.arg(command.constFirst(), exit);
    if (!result.failure.isEmpty()) {
        QFile output(m_logPath);
        if (output.open(QIODevice::ReadOnly))
            result.failure += u": "_s + QString::fromLocal8Bit(output.readAll()).trimmed();
    }
    return result;
}
