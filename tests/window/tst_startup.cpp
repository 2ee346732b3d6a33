#include "qtftp.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// The real program, started as a user starts it, with a home and settings
// store of its own.
class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QFile::remove(settingsFile()); }
    void startsAndShowsItsWindow_data();
    void startsAndShowsItsWindow();
    void quitEndsWithStatusZero();
    void documentWithoutWindowEndsWithMinusOne();

private:
    // Starts the program on the given platform, with extra environment.
    void start(QProcess &program, const QString &platform, const QStringList &arguments = {},
               const QStringList &environment = {});
    QString settingsFile() const { return m_home.filePath(u".config/Orvane/SwTxUpdater.conf"_s); }

    QTemporaryDir m_home;
};

void StartupTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(m_home.isValid());
}

void StartupTest::start(QProcess &program, const QString &platform, const QStringList &arguments,
                        const QStringList &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"QT_QUICK_CONTROLS_STYLE"_s);
    for (const QString &variable : QStringList{ u"QT_QPA_PLATFORM="_s + platform, u"HOME="_s + m_home.path(),
                                                u"XDG_CONFIG_HOME="_s + m_home.filePath(u".config"_s),
                                                u"XDG_RUNTIME_DIR="_s + m_home.path() } + environment)
        env.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(SWTXUPDATER_PATH), arguments);
    QVERIFY2(program.waitForStarted(), qPrintable(program.errorString()));
}

void StartupTest::startsAndShowsItsWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("unknown option") << QStringList{ u"--no-such-option"_s, u"extra"_s };
}

// The window's first bindings save the selected interface while the window
// is created, so the settings file is the sign that the window is up.
void StartupTest::startsAndShowsItsWindow()
{
    QFETCH(QStringList, arguments);
    // Nothing saved: the first entry is selected (on Linux an interface's
    // readable name is its system name).
    const QString firstEntry = QTftp().ifsList().value(0);
    QVERIFY2(!firstEntry.isEmpty(), "this machine lists no IPv4 address");

    QProcess program;
    start(program, u"offscreen"_s, arguments);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(settingsFile()), 10000);
    QCOMPARE(QSettings(settingsFile(), QSettings::IniFormat).value(u"savedInterface"_s).toString(),
             firstEntry.section(u" -- "_s, 0, 0));
    QTest::qWait(300);
    // Offscreen there is no way to Quit (the next case does that on X): the
    // program is killed as it goes out of scope.
    QCOMPARE(program.state(), QProcess::Running);
}

// Offscreen windows take no keyboard, so this runs on an X server of its own
// and presses the Quit shortcut as a user does.
void StartupTest::quitEndsWithStatusZero()
{
    QProcess server;
    server.start(u"Xvfb"_s, { u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s });
    QVERIFY2(server.waitForStarted(), "Xvfb is needed: apt-get install xvfb");
    // The server writes its display number once it accepts clients.
    QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 10000);
    const QString display = u"DISPLAY=:"_s + QString::fromLatin1(server.readLine().trimmed());
    QProcess program;
    start(program, u"xcb"_s, {}, { display });

    // xdotool gives up when a window it inspects goes away, as windows may
    // while the program starts: search again until the main window shows.
    QProcess xdotool;
    xdotool.setProcessEnvironment(program.processEnvironment());
    QString window;
    for (const QDeadlineTimer deadline(30000); window.isEmpty() && !deadline.hasExpired(); QTest::qWait(100)) {
        xdotool.start(u"xdotool"_s, { u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"^Skyweave Transmitter Update Tool$"_s });
        xdotool.waitForFinished();
        window = QString::fromLatin1(xdotool.readAllStandardOutput()).section(u'\n', 0, 0);
    }
    QVERIFY2(!window.isEmpty(), qPrintable(u"the window did not show (xdotool is needed: apt-get install xdotool); "
                                            "the program said: "_s + QString::fromLocal8Bit(program.readAllStandardError())));
    QCOMPARE(program.state(), QProcess::Running);

    xdotool.start(u"xdotool"_s, { u"windowfocus"_s, u"--sync"_s, window, u"key"_s, u"ctrl+q"_s });
    QVERIFY(xdotool.waitForFinished());
    QVERIFY2(xdotool.exitCode() == 0, xdotool.readAllStandardError().constData());
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    server.terminate();
    server.waitForFinished();
}

// A style the user asks for but has not installed leaves the window document
// without its controls module, the way a missing QML module package does.
void StartupTest::documentWithoutWindowEndsWithMinusOne()
{
    QProcess program;
    start(program, u"offscreen"_s, {}, { u"QT_QUICK_CONTROLS_STYLE=NoSuchStyle"_s });
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 255); // main's -1
    const QByteArray log = program.readAllStandardError();
    QVERIFY2(log.contains("NoSuchStyle"), log.constData());
    QVERIFY(!QFile::exists(settingsFile()));
}

QTEST_GUILESS_MAIN(StartupTest)

#include "tst_startup.moc"
