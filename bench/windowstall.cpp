#include "bench/parts.h"

#include "bench/report.h"
#include "controller/qtftp.h"
#include "tests/support/tftpdprocess.h"
#include "tftp/tftppacket.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// The largest image 16-bit block numbers allow, as an application image in a
// technician's firmware folder.
const QString imageName = u"7420-v1.0.bin"_s;
constexpr int uploadTimeoutMs = 120000;
constexpr int probeIntervalMs = 1;

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

// The window as the program shows it, from the window's QML module.
QQuickWindow *loadWindow(QQmlApplicationEngine &engine)
{
    engine.load(QUrl(u"qrc:/main.qml"_s));
    const QList<QObject *> roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.constFirst());
}

// What a technician does: picks the folder in the Open dialog and types the
// server's address. The window has no port field and picks the first
// interface, so the port and the local address are set on the controller, as
// the window tests do.
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

// The real window's upload, started by its Start button.
struct WindowRun
{
    QString failure;
    double startHandlerMs = 0; // the GUI thread in Start: the file list and reading the image
    double uploadMs = 0; // from the end of Start to updateCompleted
    QList<double> latenessMs; // of each timeout of the timer, from the end of Start to updateCompleted
    int progressValues = 0; // shown for the image
};

// Presses Start, then a 1 ms precise timer on the GUI thread records how late
// it fires, until updateCompleted: time the thread spent on something else
// (painting, queued property updates) or waiting for a processor. The Start
// handler reads the image on the GUI thread by design; its time is reported
// apart.
void pressStartAndWatch(QTftp &tftp, QObject &startButton, qint64 imageSize, WindowRun &run)
{
    QObject watching; // ends the connections below when it goes
    QObject::connect(&tftp, &QTftp::fileProgressChanged, &watching,
                     [&] { run.progressValues += tftp.fileSize() == imageSize ? 1 : 0; });
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(probeIntervalMs);
    QElapsedTimer clock;
    qint64 previousNs = 0;
    QObject::connect(&probe, &QTimer::timeout, &watching, [&] {
        const qint64 nowNs = clock.nsecsElapsed();
        run.latenessMs.append(std::max<qint64>(0, nowNs - previousNs - probeIntervalMs * 1000000) / 1e6);
        previousNs = nowNs;
    });
    clock.start();
    QMetaObject::invokeMethod(&startButton, "clicked");
    run.startHandlerMs = clock.nsecsElapsed() / 1e6;
    clock.start();
    probe.start();
    if (!waitForSignal(&tftp, &QTftp::updateCompleted, uploadTimeoutMs))
        run.failure = u"the window's update did not complete within %1 s"_s.arg(uploadTimeoutMs / 1000);
    run.uploadMs = clock.nsecsElapsed() / 1e6;
}

// Loads the window, chooses the folder and the server, presses Start, and
// checks what the window shows; the stored files are the caller's to check.
WindowRun runWindowUpload(const QString &folder, qint64 imageSize, const TftpdProcess &server)
{
    WindowRun run;
    QQmlApplicationEngine engine;
    QQuickWindow *window = loadWindow(engine);
    auto *tftp = window ? window->findChild<QTftp *>(u"qtftp"_s) : nullptr;
    auto *startButton = window ? window->findChild<QObject *>(u"startButton"_s) : nullptr;
    if (!tftp || !startButton)
        run.failure = u"the window did not load with its controller and Start button"_s;
    else if (!waitForSignal(window, &QQuickWindow::frameSwapped, 10000))
        run.failure = u"the window painted no frame"_s;
    else
        run.failure = chooseFolderAndAddress(*window, *tftp, folder, server);
    if (!run.failure.isEmpty())
        return run;
    pressStartAndWatch(*tftp, *startButton, imageSize, run);
    const QObject *statusLine = window->findChild<QObject *>(u"statusLine"_s);
    const QString status = statusLine ? statusLine->property("text").toString() : QString();
    if (run.failure.isEmpty() && status != u"No Error"_s)
        run.failure = u"the status line reads \"%1\""_s.arg(status);
    return run;
}

} // namespace

QString measureWindow(const TftpdProcess &server, const QString &workPath)
{
    const QString folder = workPath + u"/window"_s;
    const QByteArray image = benchImage(Tftp::MaxImageSize);
    if (const QString failure = writeFirmwareFolder(folder, image, imageName); !failure.isEmpty())
        return failure;
    QFile::remove(server.filePath(imageName));
    QFile::remove(server.filePath(benchMarkerName));
    const WindowRun run = runWindowUpload(folder, image.size(), server);
    QStringList problems = { run.failure };
    if (run.failure.isEmpty())
        problems << storedMismatch(server, imageName, image)
                 << storedMismatch(server, benchMarkerName, QByteArray("", 0));
    problems.removeAll(QString());

    QList<double> lateness = run.latenessMs;
    std::sort(lateness.begin(), lateness.end());
    // The longest, and the smallest that 99 % of the values do not exceed.
    const double longestMs = lateness.isEmpty() ? 0 : lateness.constLast();
    const double percentileMs = lateness.isEmpty() ? 0 : lateness.at(qsizetype(std::ceil(0.99 * lateness.size())) - 1);
    print(u"## The window during the largest upload\n"_s);
    print(u"%1-byte upload to tftpd-hpa from the real window on the %2 platform, started by its Start button: longest "
          "GUI stall **%3 ms** (99th percentile %4 ms, median %5 ms over %6 timeouts of a 1 ms timer; target "
          "< 50 ms), %7 progress values shown; %8 ms on the GUI thread in Start, which reads the image; upload %9 ms "
          "from the end of Start.\n"_s.arg(fixed(image.size(), 0), QGuiApplication::platformName())
                  .arg(fixed(longestMs, 1), fixed(percentileMs, 2), fixed(median(run.latenessMs), 3),
                       fixed(run.latenessMs.size(), 0), fixed(run.progressValues, 0), fixed(run.startHandlerMs, 0),
                       fixed(run.uploadMs, 0)));
    return problems.isEmpty() ? QString() : u"window: "_s + problems.join(u"; "_s);
}
