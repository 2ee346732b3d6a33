#pragma once

#include <QString>
#include <QStringList>

// One run of a program as a child process.
struct ChildRun
{
    QString failure; // empty when it ran to its end with exit status 0
    int exitCode = -1;
    double wallMs = 0; // from the spawn to the reaping, so the program's start counts
    double cpuMs = 0; // the child's user and system time, as wait4() reports it
    double peakMemoryMib = 0; // its peak resident memory, when asked for
    QString output; // what it wrote to standard output and error
};

// Runs command, the program's path then its arguments, to its end as a child
// process with no input, its output in client.log in the home directory,
// which the benchmark makes its own: swtxupdate reads no interface or address
// the window saved, and curl no .curlrc. A child still running after
// timeoutMs is killed, with whatever it started. The CPU time is the kernel's
// accounting for exactly that child, untouched by this process's threads or
// any server's; its peak memory is measured by bench/peakmemory.cpp, which
// starts it.
ChildRun runChild(const QStringList &command, int timeoutMs, bool peakMemory = false);

// swtxupdate, as built with the benchmark.
QString swtxupdatePath();
