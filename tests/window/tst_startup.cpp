#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>

// The real program, started as a user starts it, on the X server that
// xvfb-run gives the test: offscreen windows take no keys. Pressing Quit's
// shortcut ends it with status 0, and the interface its window showed first
// is saved where the next start looks for it.
class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void quitEndsWithStatusZero()
    {
        qputenv("QT_QPA_PLATFORM", "xcb");
        // Mesa's software GL driver, all that Xvfb offers, leaks at exit from
        // a library already unloaded, where no suppression can name it; the
        // window itself does not need GL.
        qputenv("QT_QUICK_BACKEND", "software");
        QFile::remove(QSettings(QStringLiteral("Orvane"), QStringLiteral("SwTxUpdater")).fileName());
        QProcess program;
        program.start(QStringLiteral(SWTXUPDATER_PATH));
        QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));

        // xdotool gives up when a window it inspects goes away, as windows
        // may while the program starts: it searches again until the window
        // shows.
        QProcess xdotool;
        QString window;
        for (const QDeadlineTimer deadline(30000); window.isEmpty() && !deadline.hasExpired(); QTest::qWait(100)) {
            xdotool.start(QStringLiteral("xdotool"), { "search", "--onlyvisible", "--name", "^Skyweave Transmitter Update Tool$" });
            QVERIFY2(xdotool.waitForFinished(), "xdotool is needed: apt-get install xdotool");
            window = QString::fromLatin1(xdotool.readAllStandardOutput()).section(u'\n', 0, 0);
        }
        QVERIFY2(!window.isEmpty(), program.readAllStandardError().constData());
        xdotool.start(QStringLiteral("xdotool"), { "windowfocus", "--sync", window, "key", "ctrl+q" });
        QVERIFY2(program.waitForFinished(10000), xdotool.readAllStandardError().constData());
        QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
        QVERIFY(!QSettings(QStringLiteral("Orvane"), QStringLiteral("SwTxUpdater")).value("savedInterface").isNull());
        QVERIFY(xdotool.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
