#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One run of a program as a child process, with no input and its output in a
// log file.
struct ChildRun
{
    QString failure; // empty when it could be started, waited for and ended normally
    int exitCode = -1;
    double wallMs = 0; // from the spawn to the reaping, so the program's start counts
    double cpuMs = 0; // the child's user and system time, as wait4() reports it
    QString output; // what it wrote to standard output and error
};

// Runs command (the program's path, then its arguments) in environment. A
// child still running after timeoutMs is killed.
// The CPU time is the kernel's accounting for exactly that child, untouched
// by this process's threads or any server's.
ChildRun runChild(const QStringList &command, const QProcessEnvironment &environment, const QString &logPath,
                  int timeoutMs);
