#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

// The real program, started as a user starts it, on an X server of its own:
// offscreen windows take no keys. Pressing Quit's shortcut ends it with
// status 0.
class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void quitEndsWithStatusZero();
};

void StartupTest::quitEndsWithStatusZero()
{
    QProcess server;
    server.start(QStringLiteral("Xvfb"), { "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp" });
    QVERIFY2(server.waitForStarted(), "Xvfb is needed: apt-get install xvfb");
    // The server writes its display number once it accepts clients.
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 10000);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Mesa's software GL driver, all that Xvfb offers, leaks at exit from a
    // library already unloaded, where no suppression can name it; the window
    // itself does not need GL.
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    environment.insert(QStringLiteral("DISPLAY"), u':' + QString::fromLatin1(server.readLine().trimmed()));
    // Seen once under load: the number came before the server took clients.
    QProcess probe;
    probe.setProcessEnvironment(environment);
    for (const QDeadlineTimer deadline(10000); !deadline.hasExpired(); QTest::qWait(100)) {
        probe.start(QStringLiteral("xdpyinfo"));
        if (probe.waitForFinished() && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0)
            break;
    }
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(SWTXUPDATER_PATH));
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));

    // xdotool gives up when a window it inspects goes away, as windows may
    // while the program starts: it searches again until the window shows.
    QProcess xdotool;
    xdotool.setProcessEnvironment(environment);
    QString window;
    for (const QDeadlineTimer deadline(30000); window.isEmpty() && !deadline.hasExpired(); QTest::qWait(100)) {
        xdotool.start(QStringLiteral("xdotool"), { "search", "--onlyvisible", "--name", "^Skyweave Transmitter Update Tool$" });
        QVERIFY2(xdotool.waitForFinished(), "xdotool is needed: apt-get install xdotool");
        window = QString::fromLatin1(xdotool.readAllStandardOutput()).section(u'\n', 0, 0);
    }
    QVERIFY2(!window.isEmpty(), program.readAllStandardError().constData());
    xdotool.start(QStringLiteral("xdotool"), { "windowfocus", "--sync", window, "key", "ctrl+q" });
    QVERIFY2(program.waitForFinished(10000), xdotool.readAllStandardError().constData());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    server.terminate();
    QVERIFY(server.waitForFinished() && xdotool.waitForFinished());
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
