#pragma once

#include "bench/childrun.h"

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class TftpdProcess;

enum class Program { Swtxupdate, TftpHpa, Curl, Atftp };

// One way of uploading an image: a program, its options, and the block size
// and window it asks the server for.
struct ClientCase
{
    QString key; // as --cases names it
    QString label;
    Program program = Program::Swtxupdate;
    QStringList options;
    int blockSize = 512;
    int windowSize = 1;
};

// The cases of the link-speed comparison, in the report's order.
const QList<ClientCase> &clientCases();

// A program's start with no transfer at all (a version query), part of
// every wall time measured for it.
struct Startup
{
    QString version;
    double wallMs = 0; // medians
    double cpuMs = 0;
};

// The programs the benchmarks run, each to its end as a child process with
// no input, its output in a log file, and a home of the benchmark's own, so
// that swtxupdate reads no interface or address the window saved and curl no
// .curlrc. Wall time runs from the spawn to the reaping, so it includes the
// program's start; CPU time is the child's own, from wait4().
class Clients
{
public:
    explicit Clients(const QString &workPath);

    // Empty when every program is there, otherwise what is missing.
    QStringList missing(const QList<Program> &programs) const;
    QString path(Program program) const { return m_paths.at(int(program)); }

    // The command line an engineer types to upload source to the server at
    // 127.0.0.1:port: a file stored as remoteName or, for swtxupdate, a
    // firmware folder, whose file names the server keeps.
    QStringList command(const ClientCase &client, const QString &source, const QString &remoteName, quint16 port) const;
    // Runs command; a child still running after timeoutMs is killed. The
    // failure says why the run failed or its exit status was not 0.
    ChildRun run(const QStringList &command, int timeoutMs) const;
    Startup startup(Program program) const;

private:
    QStringList m_paths; // in the order of Program
    QProcessEnvironment m_environment;
    QString m_logPath;
};

// The same pseudo-random bytes for the same size, so that a block stored
// twice, lost or out of order shows.
QByteArray benchImage(qsizetype size);
// A firmware image's name, as a technician's folder holds one.
extern const QString benchImageName;
// The end-of-update marker's name, an empty upload after the images.
extern const QString benchMarkerName;
// Writes folder with image in it under benchImageName; empty when written,
// otherwise what went wrong.
QString writeFirmwareFolder(const QString &folder, const QByteArray &image);
// Empty when the server stored exactly expected under name; otherwise what
// differs.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected);
