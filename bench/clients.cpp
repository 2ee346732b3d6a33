#include "bench/clients.h"

#include "bench/report.h"
#include "tests/support/tftpdprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QStringList programNames = { u"swtxupdate"_s, u"tftp"_s, u"curl"_s, u"atftp"_s };
const QStringList versionOptions = { u"--version"_s, u"-V"_s, u"--version"_s, u"--version"_s };
const QStringList packages = { u"this project"_s, u"tftp-hpa"_s, u"curl"_s, u"atftp"_s };

QStringList atftpOptions(const QStringList &options)
{
    QStringList arguments;
    for (const QString &option : options)
        arguments << u"--option"_s << option;
    return arguments;
}

} // namespace

const QList<ClientCase> &clientCases()
{
    static const QList<ClientCase> cases = {
        { u"lockstep"_s, u"swtxupdate, lock-step"_s, Program::Swtxupdate, {}, 512, 1 },
        { u"fast"_s, u"swtxupdate --fast"_s, Program::Swtxupdate, { u"--fast"_s }, 1428, 16 },
        { u"w64"_s,
          u"swtxupdate --block-size 1428 --window 64"_s,
          Program::Swtxupdate,
          { u"--block-size"_s, u"1428"_s, u"--window"_s, u"64"_s },
          1428,
          64 },
        { u"tftp"_s, u"tftp-hpa client"_s, Program::TftpHpa, {}, 512, 1 },
        { u"curl"_s, u"curl"_s, Program::Curl, {}, 512, 1 },
        { u"curl-1428"_s, u"curl --tftp-blksize 1428"_s, Program::Curl, { u"--tftp-blksize"_s, u"1428"_s }, 1428, 1 },
        { u"atftp"_s, u"atftp"_s, Program::Atftp, {}, 512, 1 },
        { u"atftp-1428"_s, u"atftp, blksize 1428"_s, Program::Atftp, atftpOptions({ u"blksize 1428"_s }), 1428, 1 },
        { u"atftp-w16"_s, u"atftp, blksize 1428, windowsize 16"_s, Program::Atftp,
          atftpOptions({ u"blksize 1428"_s, u"windowsize 16"_s }), 1428, 16 },
        { u"atftp-w64"_s, u"atftp, blksize 1428, windowsize 64"_s, Program::Atftp,
          atftpOptions({ u"blksize 1428"_s, u"windowsize 64"_s }), 1428, 64 },
    };
    return cases;
}

Clients::Clients(const QString &workPath)
    : m_environment(QProcessEnvironment::systemEnvironment())
    , m_logPath(workPath + u"/client.log"_s)
{
    m_paths = { QStringLiteral(SWTX_UPDATE_PROGRAM) };
    for (const QString &name : programNames.mid(1))
        m_paths.append(QStandardPaths::findExecutable(name));
    const QString home = workPath + u"/home"_s;
    QDir().mkpath(home);
    m_environment.insert(u"HOME"_s, home);
    m_environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);
}

QStringList Clients::missing(const QList<Program> &programs) const
{
    QStringList missing;
    for (Program program : programs) {
        if (!QFileInfo(path(program)).isExecutable())
            missing.append(u"%1 is not there (%2)"_s.arg(programNames.at(int(program)), packages.at(int(program))));
    }
    return missing;
}

QStringList Clients::command(const ClientCase &client, const QString &source, const QString &remoteName,
                             quint16 port) const
{
    const QString host = u"127.0.0.1"_s;
    const QString portText = QString::number(port);
    switch (client.program) {
    case Program::Swtxupdate:
        return QStringList{ path(client.program), u"--quiet"_s } + client.options
                + QStringList{ source, u"%1:%2"_s.arg(host, portText) };
    case Program::TftpHpa:
        return { path(client.program), u"-m"_s, u"binary"_s, host, portText, u"-c"_s, u"put"_s, source, remoteName };
    case Program::Curl:
        return QStringList{ path(client.program), u"-sS"_s } + client.options
                + QStringList{ u"-T"_s, source, u"tftp://%1:%2/%3"_s.arg(host, portText, remoteName) };
    case Program::Atftp:
        return QStringList{ path(client.program) } + client.options
                + QStringList{ u"-p"_s, u"-l"_s, source, u"-r"_s, remoteName, host, portText };
    }
    return {};
}

ChildRun Clients::run(const QStringList &command, int timeoutMs) const
{
    ChildRun child = runChild(command, m_environment, m_logPath, timeoutMs);
    if (child.failure.isEmpty() && child.exitCode != 0)
        child.failure = u"exited with status %1"_s.arg(child.exitCode);
    if (!child.failure.isEmpty())
        child.failure = u"%1 %2: %3"_s.arg(command.constFirst().section(u'/', -1), child.failure,
                                           child.output.trimmed().replace(u'\n', u"\n  "_s));
    return child;
}

Startup Clients::startup(Program program) const
{
    constexpr int samples = 5;
    QList<double> wallMs;
    QList<double> cpuMs;
    ChildRun child;
    for (int i = 0; i < samples; ++i) {
        child = run({ path(program), versionOptions.at(int(program)) }, 10000);
        wallMs.append(child.wallMs);
        cpuMs.append(child.cpuMs);
    }
    const QString version = child.output.section(u'\n', 0, 0).section(u" ("_s, 0, 0).section(u',', 0, 0);
    return { version.trimmed(), median(wallMs), median(cpuMs) };
}

const QString benchImageName = u"7421BT-v1.0.bin"_s;
const QString benchMarkerName = u"done"_s;

QString writeFirmwareFolder(const QString &folder, const QByteArray &image)
{
    QFile file(folder + u'/' + benchImageName);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return u"cannot write the firmware folder %1"_s.arg(folder);
    return {};
}

QByteArray benchImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(0x5eed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// A server may write its last bytes after its last acknowledgement (atftpd
// flushes its buffer when it closes the file): a mismatch is looked at again
// for up to a second.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected)
{
    QByteArray stored = server.readFile(name);
    for (const QDeadlineTimer deadline(1000); stored != expected && !deadline.hasExpired();
         stored = server.readFile(name))
        QThread::msleep(10);
    if (stored.isNull())
        return u"the server stored no file %1"_s.arg(name);
    if (stored == expected)
        return {};
    const qsizetype common = std::min(stored.size(), expected.size());
    const auto offset =
            std::mismatch(stored.cbegin(), stored.cbegin() + common, expected.cbegin()).first - stored.cbegin();
    return u"%1 differs: stored %L2 bytes, expected %L3, first difference at byte %L4"_s.arg(name)
            .arg(stored.size())
            .arg(expected.size())
            .arg(offset);
}
