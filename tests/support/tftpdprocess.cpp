#include "tftpdprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Read back by the start-up probe: the right bytes prove that the server
// listens, serves our root and may read files in it.
const QString probeName = QStringLiteral(".tftpd-ready");
const QByteArray probeContent = QByteArrayLiteral("ready\n");

QString programOf(TftpdProcess::Server server)
{
    return server == TftpdProcess::Atftpd ? QStringLiteral(ATFTPD_PROGRAM) : QStringLiteral("/usr/sbin/in.tftpd");
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

TftpdProcess::TftpdProcess(const QHostAddress &address, Server server)
    : m_address(address)
    , m_server(server)
{
}

TftpdProcess::~TftpdProcess()
{
    stop();
}

QString TftpdProcess::unavailableReason(Server server)
{
    const QString program = programOf(server);
    if (!QFileInfo(program).isExecutable())
        return QStringLiteral("%1 is not installed (Debian package %2)")
                .arg(program, server == Atftpd ? QStringLiteral("atftpd") : QStringLiteral("tftpd-hpa"));
    // Both start as anyone, but serve only once they can switch to user
    // nobody; in.tftpd's transfer processes die silently otherwise.
    if (::geteuid() != 0)
        return QStringLiteral("%1 answers only when started as root: it must switch to user nobody").arg(program);
    return {};
}

bool TftpdProcess::start()
{
    stop();
    m_errorString = unavailableReason(m_server);
    if (!m_errorString.isEmpty())
        return false;
    // The server drops to nobody, which must create files in its root.
    if (!m_root.isValid() || !setMode(m_root.path(), 0777) || !writeFile(probeName, probeContent)) {
        m_errorString = QStringLiteral("cannot prepare the server root %1").arg(m_root.path());
        return false;
    }
    // Both servers get the socket bound here as their standard input, as
    // inetd hands it over: no other program can take the port between our
    // look and the server's bind, and atftpd, whose own listener knows only
    // IPv4, serves IPv6 too.
    QUdpSocket listener;
    if (!listener.bind(m_address, 0)) {
        m_errorString = QStringLiteral("no free port on %1").arg(m_address.toString());
        return false;
    }
    m_port = listener.localPort();
    const QString idleSeconds = QStringLiteral("3600"); // before the server ends by itself
    m_arguments = m_server == Atftpd
            ? QStringList{ "--user", "nobody", "--group", "nogroup", "--tftpd-timeout", idleSeconds, "--logfile", "/dev/null" }
                    + m_extraArguments + QStringList{ m_root.path() }
            : QStringList{ "-t", idleSeconds, "-c", "-u", "nobody" } + m_extraArguments + QStringList{ "-s", m_root.path() };
    return spawn(int(listener.socketDescriptor())) && awaitProbeAnswer();
}

// Starts the server with listeningSocket as its standard input.
bool TftpdProcess::spawn(int listeningSocket)
{
    // Everything the child uses is made before the fork: until it calls
    // exec, the child of a threaded program may only make async-signal-safe
    // calls.
    const QString program = programOf(m_server);
    QByteArrayList arguments{ QFile::encodeName(program) };
    for (const QString &argument : std::as_const(m_arguments))
        arguments.append(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // A process group of its own, so that stopping the server also
        // reaches the processes it forks for transfers still in progress; and
        // an end of its own should the test program die, rather than serve on.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() == parent && ::dup2(listeningSocket, STDIN_FILENO) == STDIN_FILENO
            && ::fcntl(STDIN_FILENO, F_SETFL, 0) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (m_pid < 0) {
        m_errorString = QStringLiteral("cannot start %1: %2").arg(program, QString::fromLocal8Bit(strerror(errno)));
        m_pid = 0;
        return false;
    }
    ::setpgid(pid_t(m_pid), pid_t(m_pid)); // as the child does: whichever runs first, the group exists for stop()
    return true;
}

// Reads the probe file with a raw read request, which waits in the bound
// socket until the server takes it.
bool TftpdProcess::awaitProbeAnswer()
{
    QUdpSocket probe;
    probe.writeDatagram(QByteArrayLiteral("\0\1") + QFile::encodeName(probeName) + QByteArrayLiteral("\0octet\0"), m_address, m_port);
    if (!probe.waitForReadyRead(5000)) {
        m_errorString = QStringLiteral("the server did not answer on port %1 within 5 s").arg(m_port);
        return false;
    }
    const QNetworkDatagram reply = probe.receiveDatagram();
    // Acknowledging the only block lets that transfer process end now.
    probe.writeDatagram(QByteArrayLiteral("\0\4\0\1"), reply.senderAddress(), quint16(reply.senderPort()));
    if (reply.data() == QByteArrayLiteral("\0\3\0\1") + probeContent)
        return true;
    m_errorString = QStringLiteral("the server answered the probe with %1").arg(QString::fromLatin1(reply.data().toHex(' ')));
    return false;
}

void TftpdProcess::stop()
{
    if (m_pid == 0)
        return;
    // The whole group: the server does not end its transfer processes, which
    // may still wait for a client that went away.
    ::kill(-pid_t(m_pid), SIGKILL);
    while (::waitpid(pid_t(m_pid), nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = 0;
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
