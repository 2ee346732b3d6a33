#include "bench/childrun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

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

} // namespace

ChildRun runChild(const QStringList &command, int timeoutMs, bool peakMemory)
{
    const QString logPath = QDir::home().filePath(u"client.log"_s);
    const QString memoryPath = logPath + u".kib"_s;
    QByteArrayList arguments;
    if (peakMemory)
        arguments << SWTX_PEAK_MEMORY_PROGRAM << QFile::encodeName(memoryPath);
    for (const QString &argument : command)
        arguments.append(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const QByteArray log = QFile::encodeName(logPath);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // A process group of its own, so that a time-out also ends what it started.
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

    ChildRun run;
    QElapsedTimer wall;
    wall.start();
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) {
        run.failure = u"cannot start %1: %2"_s.arg(command.constFirst(), qt_error_string(spawnError));
        return run;
    }
    // Without a pidfd (kernels before 5.3) the wait below has no limit.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    const bool ended = pidfd < 0 || waitForExit(pidfd, timeoutMs);
    if (!ended)
        ::kill(-pid, SIGKILL);
    int status = 0;
    rusage usage{};
    pid_t reaped = -1;
    do
        reaped = ::wait4(pid, &status, 0, &usage);
    while (reaped < 0 && errno == EINTR);
    const int waitError = errno;
    run.wallMs = wall.nsecsElapsed() / 1e6;
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    if (pidfd >= 0)
        ::close(pidfd);
    if (QFile memory(memoryPath); peakMemory && memory.open(QIODevice::ReadOnly))
        run.peakMemoryMib = memory.readAll().toDouble() / 1024;
    QFile::remove(memoryPath);
    if (QFile output(logPath); output.open(QIODevice::ReadOnly))
        run.output = QString::fromLocal8Bit(output.readAll());

    if (reaped != pid)
        run.failure = u"could not be waited for: %1"_s.arg(qt_error_string(waitError));
    else if (!ended)
        run.failure = u"did not end within %1 s"_s.arg(timeoutMs / 1000);
    else if (!WIFEXITED(status))
        run.failure = u"ended by signal %1"_s.arg(WTERMSIG(status));
    else if ((run.exitCode = WEXITSTATUS(status)) != 0)
        run.failure = u"exited with status %1"_s.arg(run.exitCode);
    if (!run.failure.isEmpty())
        run.failure = u"%1 %2: %3"_s.arg(command.constFirst().section(u'/', -1), run.failure,
                                         run.output.trimmed().replace(u'\n', u"\n  "_s));
    return run;
}

QString swtxupdatePath()
{
    return QStringLiteral(SWTX_UPDATE_PROGRAM);
}
