#include "sequencetest.h"
#include "tftpdprocess.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// One file of every pattern, in sending order, sizes around the block edges.
const QList<std::pair<QString, int>> firmware{
    { QStringLiteral("7420-R-v1.0.bin"), 3000 }, { QStringLiteral("7421-v2.0.bin"), 512 },
    { QStringLiteral("7422BT-v1.bin"), 0 },      { QStringLiteral("7420BL-v1.bin"), 1 },
    { QStringLiteral("7421SL-v1.bin"), 1500 },   { QStringLiteral("7422WB-v1.bin"), 20000 },
    { QStringLiteral("7420WP-v1.bin"), 511 },    { QStringLiteral("7421WA-v1.bin"), 513 },
    { QStringLiteral("7422WR-v1.bin"), 4096 },   { QStringLiteral("7485-v1.bin"), 777 },
};

void click(QQuickWindow *window, const QQuickItem *item)
{
    const QPointF centre(item->width() / 2, item->height() / 2);
    QTest::mouseClick(window, Qt::LeftButton, {}, item->mapToScene(centre).toPoint());
}

} // namespace

// The real window, loaded offscreen, updating a real tftpd-hpa on loopback
// the way a technician does it.
class UpdateWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void updateFromWindow();
};

void UpdateWindowTest::updateFromWindow()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
    qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    // The folder's URL goes through the window's label and back on Start.
    QTemporaryDir base;
    const QDir folder(base.filePath(QStringLiteral("fw #1 %41 ?\u00e4")));
    QVERIFY(folder.mkpath(QStringLiteral("old")));
    // Unrelated, a near miss, hidden, and in a sub-folder: none is sent.
    for (const char *name : { "readme.txt", "7423-v1.bin", ".7420-v9.bin", "old/7420-v8.bin" })
        QVERIFY(writeFile(folder.filePath(QString::fromLatin1(name)), "not to send"));
    TftpdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    DebugLines lines;
    QQmlApplicationEngine engine(QUrl(QStringLiteral("qrc:/main.qml")));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    QVERIFY(window);
    window->requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(window));
    const auto item = [window](const char *name) { return window->findChild<QQuickItem *>(QLatin1String(name)); };
    auto *tftp = window->findChild<QTftp *>(QStringLiteral("qtftp"));
    auto *dialog = window->findChild<QObject *>(QStringLiteral("openDialog"));
    auto *header = window->property("header").value<QQuickItem *>();
    QQuickItem *grid = item("gridLayout");
    QQuickItem *progressBar = item("progressBar");
    QQuickItem *statusLine = item("statusLine");
    QObject *openAction = nullptr; // the tool bar's, which its button and the shortcut trigger
    for (QObject *object : header->findChildren<QObject *>()) {
        if (object->inherits("QQuickAction") && object->property("text") == QStringLiteral("Open"))
            openAction = object;
    }
    QVERIFY(tftp && dialog && header && grid && progressBar && statusLine && openAction);

    QVERIFY(QMetaObject::invokeMethod(openAction, "trigger"));
    QTRY_VERIFY(dialog->property("visible").toBool());
    dialog->setProperty("currentFolder", QUrl::fromLocalFile(folder.path()));
    dialog->setProperty("selectedFolder", QUrl::fromLocalFile(folder.path()));
    QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
    QTRY_VERIFY(!dialog->property("visible").toBool() && grid->isVisible());
    // Start lists the folder again, so the files written only now go too.
    for (const auto &[name, size] : firmware)
        QVERIFY(writeFile(folder.filePath(name), testImage(size)));

    const int loopback = int(tftp->ifsList().indexOf(QStringLiteral("lo -- 127.0.0.1")));
    item("interfaceComboBox")->setProperty("currentIndex", loopback);
    QCOMPARE(tftp->localAddress(), QStringLiteral("127.0.0.1"));
    item("addressField")->setProperty("text", QString());
    item("addressField")->forceActiveFocus();
    for (const char key : std::string("127.0.0.1"))
        QTest::keyClick(window, key);
    QCOMPARE(tftp->remoteAddress(), QStringLiteral("127.0.0.1"));
    tftp->setRemotePort(server.port());

    // Every status and progress value shown until the end finds the controls
    // disabled, and the status line and the bar following the controller; the
    // bar's empty range at the marker shows as 0.
    QStringList statuses;
    QStringList faults;
    const auto checkControls = [&](const QString &moment) {
        if (header->isEnabled() || grid->isEnabled() || openAction->property("enabled").toBool())
            faults.append(QStringLiteral("controls enabled at ") + moment);
    };
    QObject context;
    connect(tftp, &QTftp::errorStringChanged, &context, [&](const QString &status) {
        statuses.append(statusLine->property("text").toString());
        checkControls(status);
    });
    connect(tftp, &QTftp::fileProgressChanged, &context, [&](int progress) {
        const int to = progressBar->property("to").toInt();
        const int value = progressBar->property("value").toInt();
        if (to != tftp->fileSize() || value != qBound(0, progress, to))
            faults.append(QStringLiteral("progress %1 shown as %2 of %3").arg(progress).arg(value).arg(to));
        checkControls(QStringLiteral("progress %1").arg(progress));
    });
    const QList<qsizetype> completions = runUntilCompleted(*tftp, lines, [&] {
        click(window, item("startButton"));
        checkControls(QStringLiteral("Start"));
        // Neither opens the folder dialog while the update runs.
        QTest::keySequence(window, QKeySequence::Open);
        QMetaObject::invokeMethod(openAction, "trigger");
    });

    QCOMPARE(completions.size(), 1);
    QCOMPARE(faults, QStringList());
    QVERIFY(!dialog->property("visible").toBool());
    QVERIFY(header->isEnabled() && grid->isEnabled() && openAction->property("enabled").toBool());
    QStringList expectedStatuses;
    QStringList expectedStored{ QStringLiteral("done") };
    for (const auto &[name, size] : firmware) {
        expectedStatuses << QStringLiteral("Sending file ") + name << QStringLiteral("No Error");
        expectedStored << name;
        QVERIFY2(server.readFile(name) == testImage(size), qPrintable(name));
    }
    QCOMPARE(statuses, expectedStatuses << QStringLiteral("Sending file done") << QStringLiteral("No Error"));
    QCOMPARE(statusLine->property("text").toString(), QStringLiteral("No Error"));
    std::sort(expectedStored.begin(), expectedStored.end());
    QCOMPARE(QDir(server.rootPath()).entryList(QDir::Files, QDir::Name), expectedStored);
    QCOMPARE(server.readFile(QStringLiteral("done")), QByteArray(""));
}

QTEST_MAIN(UpdateWindowTest)
#include "tst_updatewindow.moc"
