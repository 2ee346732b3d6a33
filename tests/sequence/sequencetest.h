#pragma once

// Helpers shared by the update-sequence tests: files, the controller's debug
// lines, and whole runs waited for until they end.

#include "transfertest.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTest>

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Keeps the debug lines written while it exists instead of printing them;
// other messages go on to the test log, whose handler is installed when the
// tests start, so make one inside a test function. The lines are shared under
// a mutex in case a transfer's thread logs.
class DebugLines
{
public:
    DebugLines() { s_previous = qInstallMessageHandler(record); }
    ~DebugLines() { qInstallMessageHandler(s_previous); take(); }
    Q_DISABLE_COPY_MOVE(DebugLines)

    QStringList take() { const QMutexLocker lock(&s_mutex); return std::exchange(s_lines, {}); }
    qsizetype count() const { const QMutexLocker lock(&s_mutex); return s_lines.size(); }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type != QtDebugMsg)
            return s_previous(type, context, message);
        const QMutexLocker lock(&s_mutex);
        s_lines.append(message);
    }

    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// Runs start (which begins an update) and waits for the update's end. Returns,
// for every updateCompleted, how many debug lines had been logged by then;
// empty if the run did not end in time. A short wait after the end lets a
// spurious second end show.
template <typename Start>
QList<qsizetype> runUntilCompleted(QTftp &tftp, const DebugLines &lines, Start start, int timeoutMs = 30000)
{
    QList<qsizetype> completions;
    QObject context;
    QObject::connect(&tftp, &QTftp::updateCompleted, &context, [&] { completions.append(lines.count()); });
    start();
    if (QTest::qWaitFor([&] { return !completions.isEmpty(); }, timeoutMs))
        QTest::qWait(100);
    return completions;
}
