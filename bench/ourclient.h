#pragma once

#include "bench/upload.h"

class QByteArray;
class QTftp;

// Uploads image with QTftp::putByteArray on the global thread pool, watched
// by a QFutureWatcher, as the window runs it. Wall time runs from
// QtConcurrent::run to the watcher's finished signal, which arrives after the
// queued property updates; CPU time is that of every thread of this process
// in between, from getrusage(RUSAGE_SELF).
Upload uploadWithOurClient(QTftp &tftp, const QString &remoteName, const QByteArray &image);
