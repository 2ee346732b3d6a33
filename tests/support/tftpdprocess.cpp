#include "tftpdprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUdpSocket>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString serverProgram = QStringLiteral("/usr/sbin/in.tftpd");

// Read back by the start-up probe: the right bytes prove that the server
// listens, serves our root and may read files in it.
const QString probeName = QStringLiteral(".tftpd-ready");
const QByteArray probeContent = QByteArrayLiteral("ready\n");

// A start can lose its port to another program between our look and the
// server's bind; the server then exits and we try another port.
constexpr int startAttempts = 3;
constexpr int startTimeoutMs = 5000;
constexpr int probeIntervalMs = 100;
constexpr int stopTimeoutMs = 2000;
constexpr int exitPollMs = 10;

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(::strerror(error));
}

void closeDescriptor(int &descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

} // namespace

TftpdProcess::TftpdProcess(const QHostAddress &address)
    : m_address(address)
{
}

TftpdProcess::~TftpdProcess()
{
    stop();
}

QString TftpdProcess::unavailableReason()
{
    if (!QFileInfo(serverProgram).isExecutable())
        return QStringLiteral("%1 is not installed (Debian package tftpd-hpa)").arg(serverProgram);
    // in.tftpd starts as anyone, but every transfer process it forks calls
    // setgroups() for its user and dies silently when that is refused.
    if (::geteuid() != 0)
        return QStringLiteral("in.tftpd answers only when started as root: its transfer processes "
                              "must switch to user nobody");
    return {};
}

bool TftpdProcess::start()
{
    stop();
    m_errorString = unavailableReason();
    if (!m_errorString.isEmpty())
        return false;
    // The server drops to nobody, which must create files in its root.
    if (!m_root.isValid() || !setMode(rootPath(), 0777) || !writeFile(probeName, probeContent)) {
        m_errorString = QStringLiteral("cannot prepare the server root %1").arg(rootPath());
        return false;
    }
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        if (startOnce())
            return true;
        stop();
    }
    return false;
}

bool TftpdProcess::startOnce()
{
    {
        QUdpSocket socket;
        if (!socket.bind(m_address, 0)) {
            m_errorString = QStringLiteral("no free port on %1: %2").arg(m_address.toString(), socket.errorString());
            return false;
        }
        m_port = socket.localPort();
    }
    const QString endpoint = m_address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2")
                                                                                    : QStringLiteral("%1:%2");
    m_arguments = { QStringLiteral("-L"),
                    QStringLiteral("-a"),
                    endpoint.arg(m_address.toString(), QString::number(m_port)),
                    QStringLiteral("-c"),
                    QStringLiteral("-u"),
                    QStringLiteral("nobody"),
                    QStringLiteral("-s"),
                    rootPath() };
    return launch() && waitUntilServing();
}

bool TftpdProcess::launch()
{
    // Everything the child uses is made before the fork: until it calls
    // exec, the child of a threaded program may only make async-signal-safe
    // calls.
    const QByteArray program = QFile::encodeName(serverProgram);
    QList<QByteArray> arguments{ program };
    for (const QString &argument : std::as_const(m_arguments))
        arguments.append(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // A file in memory rather than a pipe, which nobody reads while the
    // server runs and whose filling up would block it.
    int output = ::memfd_create("in.tftpd output", MFD_CLOEXEC);
    int execError[2] = { -1, -1 }; // carries exec's errno; closed by a successful exec
    if (input < 0 || output < 0 || ::pipe2(execError, O_CLOEXEC) != 0) {
        m_errorString = QStringLiteral("cannot start %1: %2").arg(serverProgram, systemError(errno));
        for (int *descriptor : { &input, &output, &execError[0], &execError[1] })
            closeDescriptor(*descriptor);
        return false;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A process group of its own, so that stopping the server also
        // reaches the processes it forks for transfers still in progress; and
        // an end of its own should the test program crash, rather than serve
        // on for good.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        if (::dup2(input, STDIN_FILENO) >= 0 && ::dup2(output, STDOUT_FILENO) >= 0
            && ::dup2(output, STDERR_FILENO) >= 0)
            ::execv(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(execError[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    closeDescriptor(input);
    closeDescriptor(execError[1]);
    if (pid < 0) {
        closeDescriptor(output);
        closeDescriptor(execError[0]);
        m_errorString = QStringLiteral("cannot start %1: %2").arg(serverProgram, systemError(forkError));
        return false;
    }
    m_pid = pid;
    m_processGroup = pid;
    m_exitStatus = 0;
    closeDescriptor(m_output);
    m_output = output;

    int error = 0;
    ssize_t length = 0;
    do
        length = ::read(execError[0], &error, sizeof error);
    while (length < 0 && errno == EINTR);
    closeDescriptor(execError[0]);
    if (length > 0) {
        m_errorString = QStringLiteral("cannot start %1: %2").arg(serverProgram, systemError(error));
        return false;
    }
    return true;
}

// Reads the probe file with a raw read request until the server answers; a
// request that arrives before the server has bound its port is lost, so it is
// sent again at each interval.
bool TftpdProcess::waitUntilServing()
{
    QUdpSocket probe;
    if (!probe.bind(m_address, 0)) {
        m_errorString = probe.errorString();
        return false;
    }
    const QByteArray request = QByteArrayLiteral("\0\1") + QFile::encodeName(probeName)
            + QByteArrayLiteral("\0octet\0");
    const QByteArray expected = QByteArrayLiteral("\0\3\0\1") + probeContent;
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        probe.writeDatagram(request, m_address, m_port);
        if (probe.waitForReadyRead(probeIntervalMs)) {
            QByteArray reply(probe.pendingDatagramSize(), Qt::Uninitialized);
            QHostAddress sender;
            quint16 senderPort = 0;
            reply.resize(probe.readDatagram(reply.data(), reply.size(), &sender, &senderPort));
            if (reply != expected) {
                m_errorString = QStringLiteral("in.tftpd answered the probe with %1")
                                        .arg(QString::fromLatin1(reply.toHex(' ')));
                return false;
            }
            // Acknowledging the only block lets that transfer process end now.
            probe.writeDatagram(QByteArrayLiteral("\0\4\0\1"), sender, senderPort);
            return true;
        }
        if (hasExited()) {
            const int code = WIFEXITED(m_exitStatus) ? WEXITSTATUS(m_exitStatus) : 128 + WTERMSIG(m_exitStatus);
            m_errorString =
                    QStringLiteral("in.tftpd exited with code %1 on port %2 %3").arg(code).arg(m_port).arg(output());
            return false;
        }
    }
    m_errorString = QStringLiteral("in.tftpd did not answer on port %1 within %2 ms").arg(m_port).arg(startTimeoutMs);
    return false;
}

void TftpdProcess::stop()
{
    if (m_processGroup == 0)
        return;
    if (!hasExited()) {
        ::kill(pid_t(m_pid), SIGTERM);
        const QDeadlineTimer deadline(stopTimeoutMs);
        while (!hasExited() && !deadline.hasExpired())
            QThread::msleep(exitPollMs);
        if (!hasExited()) {
            ::kill(pid_t(m_pid), SIGKILL);
            while (!hasExited())
                QThread::msleep(exitPollMs);
        }
    }
    // The server does not end its transfer processes; these may still wait
    // for a client that went away.
    ::kill(-pid_t(m_processGroup), SIGKILL);
    m_processGroup = 0;
    closeDescriptor(m_output);
}

bool TftpdProcess::isRunning() const
{
    return !hasExited();
}

bool TftpdProcess::hasExited() const
{
    if (m_pid == 0)
        return true;
    int status = 0;
    pid_t collected = 0;
    do
        collected = ::waitpid(pid_t(m_pid), &status, WNOHANG);
    while (collected < 0 && errno == EINTR);
    if (collected == 0)
        return false;
    // Collected now, or gone already (ECHILD): either way it no longer runs.
    m_exitStatus = collected > 0 ? status : 0;
    m_pid = 0;
    return true;
}

QString TftpdProcess::output() const
{
    // pread() leaves the offset that the server's writes share alone.
    QByteArray text;
    char buffer[4096];
    ssize_t length = 0;
    while (m_output >= 0 && (length = ::pread(m_output, buffer, sizeof buffer, text.size())) > 0)
        text.append(buffer, length);
    return QString::fromLocal8Bit(text);
}

bool TftpdProcess::writeFile(const QString &name, const QByteArray &data) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size()
            && setMode(file.fileName(), 0644);
}

QByteArray TftpdProcess::readFile(const QString &name) const
{
    QFile file(filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    // Keeps an empty file apart from a missing one.
    return data.isNull() ? QByteArray("", 0) : data;
}
