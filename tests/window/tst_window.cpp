#include "controller/qtftp.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The real window document, loaded offscreen, with its controller: what the
// window shows and hands over, and in which order its handlers call.
class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void choicesSavedAndRestored();
    void updateLocksTheWindow();

private:
    // A window made from the settings store, shown and active, so that
    // shortcuts and typed keys reach it.
    bool createWindow();
    QObject *child(const char *name) const { return m_window->findChild<QObject *>(QLatin1String(name)); }

    std::optional<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    QTftp *m_tftp = nullptr;
};

void WindowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
    qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
    QVERIFY2(!QTftp().ifsList().isEmpty(), "this machine lists no IPv4 address");
}

void WindowTest::init()
{
    QSettings().clear();
    QVERIFY(createWindow());
}

bool WindowTest::createWindow()
{
    m_engine.emplace(QUrl(QStringLiteral("qrc:/main.qml")));
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().value(0));
    m_tftp = m_window ? m_window->findChild<QTftp *>(QStringLiteral("qtftp")) : nullptr;
    if (m_tftp)
        m_window->requestActivate();
    return m_tftp && QTest::qWaitForWindowActive(m_window);
}

// With nothing saved the first entry shows, and counts as a choice: it is
// saved and handed to the controller. Every choice and every typed change
// of the address is saved by the time it reaches the controller, and the
// next window starts from what was saved.
void WindowTest::choicesSavedAndRestored()
{
    const QString separator = QStringLiteral(" -- ");
    const QStringList entries = m_tftp->ifsList();
    QObject *comboBox = child("interfaceComboBox");
    QCOMPARE(m_tftp->loadNetoworkIf() + separator + m_tftp->localAddress(), entries.constFirst());

    comboBox->setProperty("currentIndex", -1);
    QSettings().clear();
    QStringList seen;
    QObject context;
    connect(m_tftp, &QTftp::localAddressChanged, &context,
            [&](const QString &address) { seen << m_tftp->loadNetoworkIf() + separator + address; });
    connect(m_tftp, &QTftp::remoteAddressChanged, &context,
            [&](const QString &address) { seen << address + u'=' + m_tftp->loadNetworkAddr(); });
    comboBox->setProperty("currentIndex", int(entries.size() - 1));
    QVERIFY(QMetaObject::invokeMethod(child("addressField"), "forceActiveFocus"));
    for (const char key : { '1', '0', '.', '1' })
        QTest::keyClick(m_window, key);
    QCOMPARE(seen, QStringList({ entries.constLast(), "1=1", "10=10", "10.=10.", "10.1=10.1" }));

    // An entry of the saved interface shows, and its address goes over.
    QVERIFY(createWindow());
    const QString restored = child("interfaceComboBox")->property("currentText").toString();
    QCOMPARE(restored.section(separator, 0, 0), entries.constLast().section(separator, 0, 0));
    QCOMPARE(m_tftp->localAddress(), restored.section(separator, 1));
    QCOMPARE(m_tftp->remoteAddress(), QStringLiteral("10.1"));
}

// From Start until the update ends the fields and Start are locked, and so
// is the tool bar with its Open shortcut: a folder chosen mid-update would
// change the list being sent. Start lists the folder again before it
// starts, so a file added since the folder was chosen goes, here first.
void WindowTest::updateLocksTheWindow()
{
    QTemporaryDir folder;
    const auto writeImage = [&](const QString &name) {
        QFile file(folder.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write("image") == 5;
    };
    QVERIFY(writeImage(QStringLiteral("7420BT-v1.0.bin")));
    QObject *dialog = child("openDialog");
    QTest::keySequence(m_window, QKeySequence::Open);
    QTRY_VERIFY(dialog->property("visible").toBool());
    dialog->setProperty("selectedFolder", QUrl::fromLocalFile(folder.path()));
    QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
    QTRY_VERIFY(child("gridLayout")->property("visible").toBool());
    QVERIFY(writeImage(QStringLiteral("7420-v1.0.bin")));
    // A device that never answers keeps the update running until stopped.
    QUdpSocket device;
    QVERIFY(device.bind(QHostAddress::LocalHost));
    m_tftp->setLocalAddress(QStringLiteral("127.0.0.1"));
    m_tftp->setRemoteAddress(QStringLiteral("127.0.0.1"));
    m_tftp->setRemotePort(device.localPort());
    QSignalSpy completed(m_tftp, &QTftp::updateCompleted);

    const auto *start = qobject_cast<QQuickItem *>(child("startButton"));
    const QPointF centre(start->width() / 2, start->height() / 2);
    QTest::mouseClick(m_window, Qt::LeftButton, {}, start->mapToScene(centre).toPoint());
    QTRY_COMPARE(child("statusLine")->property("text").toString(), QStringLiteral("Sending file 7420-v1.0.bin"));
    QTRY_COMPARE(child("progressBar")->property("to").toInt(), 5);
    QVERIFY(!start->isEnabled());
    QTest::keySequence(m_window, QKeySequence::Open);
    m_tftp->stopUpdate();
    QVERIFY(completed.wait());
    QVERIFY(start->isEnabled() && !dialog->property("visible").toBool());
    QTest::keySequence(m_window, QKeySequence::Open);
    QTRY_VERIFY(dialog->property("visible").toBool());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
