#include "bench/windowstall.h"

#include "bench/clients.h"
#include "bench/report.h"
#include "controller/qtftp.h"
#include "tests/support/tftpdprocess.h"
#include "tftp/tftppacket.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>

using namespace Qt::StringLiterals;

namespace {

// The largest image 16-bit block numbers allow, as an application image in a
// technician's firmware folder.
const QString imageName = u"7420-v1.0.bin"_s;

// One timeout of a 1 ms precise timer on the GUI thread. It is due one
// interval after the previous one; how much later it fires is time the thread
// spent on something else (painting, queued property updates, reading a file)
// or waiting for a processor, which the thread's CPU time tells apart.
struct TimerTimeout
{
    double dueMs = 0; // from the end of Start
    double latenessMs = 0;
    double threadCpuMs = 0; // the GUI thread's, since the previous timeout
};

// The real window's upload of an image from a folder, started by its Start
// button.
struct WindowRun
{
    QString failure;
    bool updateCompleted = false;
    qsizetype imageSize = 0;
    double startHandlerMs = 0; // GUI thread busy in Start: file list and file read
    double fileReadMs = 0; // reading the image file alone, just before Start
    double uploadMs = 0; // from the end of Start to updateCompleted
    QList<TimerTimeout> timeouts; // from the end of Start to updateCompleted
    int progressValues = 0; // fileProgressChanged reaching the window for the image
    int frames = 0;
};

constexpr int uploadTimeoutMs = 120000;
constexpr int firstFrameTimeoutMs = 10000;
constexpr int probeIntervalMs = 1;

double threadCpuMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Runs an event loop until sender emits signal or timeoutMs passes; false on
// the time-out.
template <typename Sender, typename Signal>
bool waitForSignal(const Sender *sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    bool arrived = false;
    QObject::connect(sender, signal, &loop, [&] {
        arrived = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return arrived;
}

// The window has no port field and picks the first interface, so the port
// and the local address are set on the controller, as the window tests do.
QString chooseFolderAndAddress(QQuickWindow &window, QTftp &tftp, const QString &folder, const TftpdProcess &server)
{
    QObject *dialog = window.findChild<QObject *>(u"openDialog"_s);
    QObject *addressField = window.findChild<QObject *>(u"addressField"_s);
    QObject *grid = window.findChild<QObject *>(u"gridLayout"_s);
    if (!dialog || !addressField || !grid)
        return u"the window lacks the Open dialog, the address field or the grid"_s;
    const QUrl folderUrl = QUrl::fromLocalFile(folder);
    const QString address = server.address().toString();
    QMetaObject::invokeMethod(dialog, "open");
    dialog->setProperty("currentFolder", folderUrl);
    dialog->setProperty("selectedFolder", folderUrl);
    QMetaObject::invokeMethod(dialog, "accept");
    addressField->setProperty("text", address);
    tftp.setLocalAddress(address);
    tftp.setRemotePort(server.port());
    if (!grid->property("visible").toBool() || tftp.remoteAddress() != address)
        return u"the window did not take the folder or the address"_s;
    return {};
}

// How long the GUI thread takes to read the file as sendFile reads it.
double fileReadMs(const QString &path)
{
    QElapsedTimer clock;
    clock.start();
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return clock.nsecsElapsed() / 1e6;
}

// Presses Start and watches the GUI thread until updateCompleted. The Start
// handler reads the file on the GUI thread by design; its time is reported
// apart from the stalls that follow, which a 1 ms precise timer records from
// the moment Start returns. Returns the last progress value shown for the
// image.
int pressStartAndWatch(QQuickWindow &window, QTftp &tftp, QObject &startButton, WindowRun &run)
{
    QObject watching; // ends the connections below when it goes
    int lastProgress = -1;
    QObject::connect(&tftp, &QTftp::fileProgressChanged, &watching, [&](int value) {
        if (tftp.fileSize() != run.imageSize)
            return;
        ++run.progressValues;
        lastProgress = value;
    });
    std::atomic<int> frames = 0; // the scene graph may render on a thread of its own
    QObject::connect(
            &window, &QQuickWindow::frameSwapped, &watching, [&frames] { ++frames; }, Qt::DirectConnection);
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(probeIntervalMs);
    QElapsedTimer clock;
    qint64 previousNs = 0;
    double previousCpuMs = 0;
    QObject::connect(&probe, &QTimer::timeout, &watching, [&] {
        const qint64 nowNs = clock.nsecsElapsed();
        const double cpuMs = threadCpuMs();
        const qint64 dueNs = previousNs + qint64(probeIntervalMs) * 1000000;
        run.timeouts.append({ dueNs / 1e6, std::max<qint64>(0, nowNs - dueNs) / 1e6, cpuMs - previousCpuMs });
        previousNs = nowNs;
        previousCpuMs = cpuMs;
    });

    clock.start();
    QMetaObject::invokeMethod(&startButton, "clicked");
    run.startHandlerMs = clock.nsecsElapsed() / 1e6;

    frames = 0;
    clock.start();
    previousCpuMs = threadCpuMs();
    probe.start();
    run.updateCompleted = waitForSignal(&tftp, &QTftp::updateCompleted, uploadTimeoutMs);
    probe.stop();
    run.uploadMs = clock.nsecsElapsed() / 1e6;
    run.frames = frames;
    return lastProgress;
}

// Loads app/main.qml and does what a technician does: picks the folder of
// imagePath in the Open dialog, types the server's address and presses
// Start. Checks what the window shows; the stored files are the caller's to
// check.
WindowRun runWindowUpload(const QString &imagePath, const TftpdProcess &server)
{
    WindowRun run;
    run.imageSize = QFileInfo(imagePath).size();
    QQmlApplicationEngine engine;
    engine.load(QUrl(u"qrc:/main.qml"_s));
    const QList<QObject *> roots = engine.rootObjects();
    auto *window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.constFirst());
    auto *tftp = window ? window->findChild<QTftp *>(u"qtftp"_s) : nullptr;
    auto *startButton = window ? window->findChild<QObject *>(u"startButton"_s) : nullptr;
    if (!tftp || !startButton)
        run.failure = u"the window did not load with its controller and Start button"_s;
    else if (!waitForSignal(window, &QQuickWindow::frameSwapped, firstFrameTimeoutMs))
        run.failure = u"the window painted no frame"_s;
    else
        run.failure = chooseFolderAndAddress(*window, *tftp, QFileInfo(imagePath).path(), server);
    if (!run.failure.isEmpty())
        return run;

    run.fileReadMs = fileReadMs(imagePath);
    const int lastProgress = pressStartAndWatch(*window, *tftp, *startButton, run);
    if (!run.updateCompleted) {
        run.failure = u"the window's update did not complete within %1 s"_s.arg(uploadTimeoutMs / 1000);
        return run;
    }
    // The status line should read "No Error", and the last progress value be
    // complete.
    QStringList problems;
    const QObject *statusLine = window->findChild<QObject *>(u"statusLine"_s);
    const QString status = statusLine ? statusLine->property("text").toString() : QString();
    if (status != u"No Error"_s || tftp->errorString() != u"No Error"_s)
        problems.append(u"the status line reads \"%1\""_s.arg(status));
    // The window's progress counts each block's DATA header too.
    const qint64 completeProgress = run.imageSize + Tftp::DataHeaderSize * (run.imageSize / Tftp::BlockSize + 1);
    if (lastProgress != completeProgress)
        problems.append(u"the last progress value shown was %L1, not %L2"_s.arg(lastProgress).arg(completeProgress));
    run.failure = problems.join(u"; "_s);
    return run;
}

// The smallest value that at least fraction of the values do not exceed.
double percentile(QList<double> values, double fraction)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = qsizetype(std::ceil(fraction * double(values.size())));
    return values.at(std::clamp<qsizetype>(rank, 1, values.size()) - 1);
}

void printWindowRun(const WindowRun &run)
{
    QList<double> lateness;
    double guiCpuMs = 0;
    for (const TimerTimeout &timeout : run.timeouts) {
        lateness.append(timeout.latenessMs);
        guiCpuMs += timeout.threadCpuMs;
    }
    const auto longest =
            std::max_element(run.timeouts.cbegin(), run.timeouts.cend(),
                             [](const TimerTimeout &a, const TimerTimeout &b) { return a.latenessMs < b.latenessMs; });
    const TimerTimeout stall = longest == run.timeouts.cend() ? TimerTimeout() : *longest;
    print(u"## The window during the largest upload\n"_s);
    print(u"%1-byte upload to tftpd-hpa: longest GUI stall **%2 ms** (99th percentile %3 ms; target < 50 ms), %4 "
          "progress values shown, %5 ms on the GUI thread in Start reading the file.\n"_s.arg(
                  fixed(run.imageSize, 0), fixed(stall.latenessMs, 1), fixed(percentile(lateness, 0.99), 2),
                  fixed(run.progressValues, 0), fixed(run.startHandlerMs, 0)));
    print(u"The window on the %1 platform: Start handler %2 ms (reading the image file alone, just before: %3 "
          "ms); upload %4 ms from the end of Start to updateCompleted; the longest stall began %5 ms after Start, "
          "with %6 ms of GUI thread CPU time in it (the rest: waiting for a processor); median lateness of the "
          "1 ms timer %7 ms over %8 timeouts; %9 frames painted; %10 ms GUI thread CPU time during the upload.\n"_s.arg(
                  QGuiApplication::platformName(), fixed(run.startHandlerMs, 1), fixed(run.fileReadMs, 1),
                  fixed(run.uploadMs, 1), fixed(stall.dueMs, 1), fixed(stall.threadCpuMs, 2),
                  fixed(median(lateness), 3), fixed(run.timeouts.size(), 0), fixed(run.frames, 0), fixed(guiCpuMs, 1)));
}

} // namespace

QString measureWindow(const TftpdProcess &server, const QString &workPath)
{
    const QString folder = workPath + u"/window"_s;
    const QString imagePath = folder + u'/' + imageName;
    const QByteArray image = benchImage(Tftp::MaxImageSize);
    QFile file(imagePath);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return u"cannot write the firmware folder %1"_s.arg(folder);
    file.close();
    QFile::remove(server.filePath(imageName));
    QFile::remove(server.filePath(benchMarkerName));
    const WindowRun run = runWindowUpload(imagePath, server);
    QStringList problems = { run.failure };
    if (run.updateCompleted)
        problems << storedMismatch(server, imageName, image) << storedMismatch(server, benchMarkerName, QByteArray("", 0));
    problems.removeAll(QString());
    printWindowRun(run);
    return problems.isEmpty() ? QString() : u"window: "_s + problems.join(u"; "_s);
}
