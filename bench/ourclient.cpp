#include "bench/ourclient.h"

#include "controller/qtftp.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

using namespace Qt::StringLiterals;

namespace {

double processCpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return userAndSystemMs(usage);
}

} // namespace

Upload uploadWithOurClient(QTftp &tftp, const QString &remoteName, const QByteArray &image)
{
    QFutureWatcher<bool> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);

    Upload upload;
    const double cpuBeforeMs = processCpuMs();
    QElapsedTimer wall;
    wall.start();
    watcher.setFuture(QtConcurrent::run(&QTftp::putByteArray, &tftp, remoteName, image));
    loop.exec();
    upload.wallMs = wall.nsecsElapsed() / 1e6;
    upload.cpuMs = processCpuMs() - cpuBeforeMs;
    if (!watcher.result())
        upload.failure = u"our client failed: %1"_s.arg(tftp.errorString());
    return upload;
}
