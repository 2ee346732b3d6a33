#include "controller/qtftp.h"
#include "tftpdprocess.h"

#include <QDir>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// In sending order, by pattern: the reverse of their name order.
const QStringList firmware{ QStringLiteral("7422-v1.bin"), QStringLiteral("7420BL-v1.bin"),
                            QStringLiteral("7421WA-v1.bin") };

// Pseudo-random bytes, different for each file, so that a block sent twice
// or dropped shows. The first image ends on a block edge (1536 bytes).
QByteArray image(int index)
{
    QList<quint32> words(384 + 500 * index);
    QRandomGenerator(quint32(index)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), words.size() * 4);
}

} // namespace

// The real window, loaded offscreen, updating a real tftpd-hpa on loopback
// the way a technician does it.
class UpdateWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_data();
    void update();
};

void UpdateWindowTest::initTestCase()
{
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
    qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
}

void UpdateWindowTest::update_data()
{
    // The files whose upload starts, which are also all the server holds at
    // the end, and the status the run ends with.
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QString>("status");
    QTest::newRow("all delivered") << firmware + QStringList{ QStringLiteral("done") } << QStringLiteral("No Error");
    QTest::newRow("second refused") << firmware.mid(0, 2) << QStringLiteral("Protocol Error: 0 Permission denied");
}

void UpdateWindowTest::update()
{
    QFETCH(QStringList, sent);
    QFETCH(QString, status);
    const bool refused = status != QStringLiteral("No Error");
    TftpdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    // The server, running as nobody, overwrites only files anyone may write.
    if (refused)
        QVERIFY(server.writeFile(firmware[1], "old"));
    QTemporaryDir folder;
    // The firmware, and a near miss: no pattern takes the family 7423.
    const QStringList names = firmware + QStringList{ QStringLiteral("7423-v1.bin") };
    for (int i = 0; i < names.size(); ++i) {
        QFile file(folder.filePath(names[i]));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image(i)) > 0);
    }

    QQmlApplicationEngine engine(QUrl(QStringLiteral("qrc:/main.qml")));
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
    QVERIFY(window && QTest::qWaitForWindowExposed(window));
    const auto item = [window](const char *name) { return window->findChild<QQuickItem *>(QLatin1String(name)); };
    auto *tftp = window->findChild<QTftp *>(QStringLiteral("qtftp"));
    auto *dialog = window->findChild<QObject *>(QStringLiteral("openDialog"));
    auto *toolBar = window->property("header").value<QQuickItem *>();
    QQuickItem *grid = item("gridLayout");
    QVERIFY(QMetaObject::invokeMethod(dialog, "open"));
    QTRY_VERIFY(dialog->property("visible").toBool());
    dialog->setProperty("selectedFolder", QUrl::fromLocalFile(folder.path()));
    QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
    QTRY_VERIFY(grid->isVisible());
    const int loopback = int(tftp->ifsList().indexOf(QStringLiteral("lo -- 127.0.0.1")));
    item("interfaceComboBox")->setProperty("currentIndex", loopback);
    item("addressField")->setProperty("text", QStringLiteral("127.0.0.1"));
    tftp->setRemotePort(server.port());

    // Every status change until the end must find the controls locked.
    QStringList statuses;
    QObject context;
    connect(tftp, &QTftp::errorStringChanged, &context, [&](const QString &text) {
        statuses.append(toolBar->isEnabled() || grid->isEnabled() ? QStringLiteral("unlocked: ") + text : text);
    });
    QSignalSpy completed(tftp, &QTftp::updateCompleted);
    const QQuickItem *start = item("startButton");
    const QPointF centre(start->width() / 2, start->height() / 2);
    QTest::mouseClick(window, Qt::LeftButton, {}, start->mapToScene(centre).toPoint());
    QVERIFY(completed.wait(30000));
    QTest::qWait(100); // a second end would show by now

    QCOMPARE(completed.size(), 1);
    QVERIFY(toolBar->isEnabled() && grid->isEnabled());
    QStringList expectedStatuses;
    for (const QString &name : sent)
        expectedStatuses << QStringLiteral("Sending file ") + name << QStringLiteral("No Error");
    expectedStatuses.last() = status;
    QCOMPARE(statuses, expectedStatuses);
    QCOMPARE(item("statusLine")->property("text").toString(), status);
    std::sort(sent.begin(), sent.end());
    QCOMPARE(QDir(server.rootPath()).entryList(QDir::Files, QDir::Name), sent);
    QCOMPARE(server.readFile(firmware[0]), image(0));
    QCOMPARE(server.readFile(firmware[1]), refused ? QByteArray("old") : image(1));
    if (!refused) {
        QCOMPARE(server.readFile(firmware[2]), image(2));
        QCOMPARE(server.readFile(QStringLiteral("done")), QByteArray());
    }
}

QTEST_MAIN(UpdateWindowTest)
#include "tst_updatewindow.moc"
