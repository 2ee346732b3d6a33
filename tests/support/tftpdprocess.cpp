#include "tftpdprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QUdpSocket>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
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

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

} // namespace

TftpdProcess::TftpdProcess(const QHostAddress &address)
    : m_address(address)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // A process group of its own, so that stopping the server also reaches
    // the processes it forks for transfers still in progress; and an end of
    // its own should the test program crash, rather than serve on for good.
    m_process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
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
    m_process.start(serverProgram, m_arguments);
    if (!m_process.waitForStarted()) {
        m_errorString = QStringLiteral("cannot start %1: %2").arg(serverProgram, m_process.errorString());
        return false;
    }
    m_processGroup = m_process.processId();
    return waitUntilServing();
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
        if (m_process.waitForFinished(0)) {
            m_errorString = QStringLiteral("in.tftpd exited with code %1 on port %2 %3")
                                    .arg(m_process.exitCode())
                                    .arg(m_port)
                                    .arg(QString::fromLocal8Bit(m_process.readAll()));
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
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(stopTimeoutMs)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    // The server does not end its transfer processes; these may still wait
    // for a client that went away.
    ::kill(-pid_t(m_processGroup), SIGKILL);
    m_processGroup = 0;
}

bool TftpdProcess::isRunning() const
{
    // Looking for an exit also collects it, so that the state is current
    // even without an event loop.
    return m_process.state() == QProcess::Running && !m_process.waitForFinished(0);
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
