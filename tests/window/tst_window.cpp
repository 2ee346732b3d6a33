#include "controller/qtftp.h"

#include <QNetworkDatagram>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

// The real window document, loaded offscreen, with its controller: what the
// window shows, saves and hands over, and an update from Start to its end
// against a device played on loopback.
class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
        QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
        qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
        QVERIFY(m_device.bind(QHostAddress::LocalHost));
        connect(&m_device, &QUdpSocket::readyRead, this, &WindowTest::answerDevice);
    }

    void init()
    {
        QSettings().clear();
        createWindow();
    }

    // The first status text; a choice and an address saved under the keys
    // that earlier versions read, and the next window starting from them.
    void choicesSavedAndRestored()
    {
        const QString last = m_tftp->ifsList().constLast();
        child("interfaceComboBox")->setProperty("currentIndex", m_tftp->ifsList().size() - 1);
        child("addressField")->setProperty("text", QStringLiteral("10.1"));
        QCOMPARE(QStringList({ child("statusLine")->property("text").toString(), setting("savedInterface") + " -- " + m_tftp->localAddress(),
                               setting("savedAddress"), m_tftp->remoteAddress() }),
                 QStringList({ "Open a folder to begin", last, "10.1", "10.1" }));
        createWindow();
        QCOMPARE(QStringList({ child("interfaceComboBox")->property("currentText").toString(), m_tftp->localAddress(), m_tftp->remoteAddress() }),
                 QStringList({ last, last.section(" -- ", 1), "10.1" }));
    }

    // The device answers each request after 3 s, as one erasing its flash
    // does: the window's default wait outlasts it. A refusal before any data
    // counts as delivered for an application image only; any other ends the
    // update without the "done" marker.
    void update_data()
    {
        QTest::addColumn<QStringList>("refused");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QStringList>("received"); // by the device, "name=bytes" for each request
        QTest::newRow("all delivered") << QStringList()
                << QStringList{ "Sending file 7420-R-v1.bin", "No Error", "Sending file 7420BT-v1.bin", "No Error", "Sending file done", "No Error" }
                << QStringList{ "7420-R-v1.bin=7420-R-v1.bin", "7420BT-v1.bin=7420BT-v1.bin", "done=" };
        QTest::newRow("both refused") << QStringList{ "7420-R-v1.bin", "7420BT-v1.bin" }
                << QStringList{ "Sending file 7420-R-v1.bin", "No Error", "Sending file 7420BT-v1.bin", "Protocol Error: 0 Permission denied" }
                << QStringList{ "7420-R-v1.bin=", "7420BT-v1.bin=" };
    }

    // Start lists the folder again, so an image added since it was chosen
    // goes, here first. Until the update ends, every status the status line
    // shows finds the fields and Start locked, and the tool bar's Open
    // shortcut too: a folder chosen mid-update would change the list being
    // sent.
    void update()
    {
        QFETCH(QStringList, refused);
        QFETCH(QStringList, statuses);
        QFETCH(QStringList, received);
        QTemporaryDir folder;
        const auto writeImage = [&folder](const QString &name) {
            QFile image(folder.filePath(name));
            return image.open(QIODevice::WriteOnly) && image.write(name.toUtf8()) > 0;
        };
        QObject *dialog = m_window->findChild<QObject *>(QStringLiteral("openDialog"));
        QVERIFY(writeImage(QStringLiteral("7420BT-v1.bin")) && QMetaObject::invokeMethod(dialog, "open"));
        dialog->setProperty("selectedFolder", QUrl::fromLocalFile(folder.path()));
        QVERIFY(QMetaObject::invokeMethod(dialog, "accept") && writeImage(QStringLiteral("7420-R-v1.bin")));
        child("interfaceComboBox")->setProperty("currentIndex", m_tftp->ifsList().indexOf("lo -- 127.0.0.1"));
        child("addressField")->setProperty("text", QStringLiteral("127.0.0.1"));
        m_tftp->setRemotePort(m_device.localPort());
        m_refused = refused;
        m_received.clear();
        QQuickItem *grid = child("gridLayout");
        QStringList seen;
        connect(m_tftp, &QTftp::errorStringChanged, grid,
                [&] { seen << (grid->isEnabled() ? "unlocked: " : "") + child("statusLine")->property("text").toString(); });
        QSignalSpy completed(m_tftp, &QTftp::updateCompleted);

        QQuickItem *start = child("startButton");
        QTest::mouseClick(m_window, Qt::LeftButton, {}, start->mapToScene({ start->width() / 2, start->height() / 2 }).toPoint());
        QTRY_COMPARE(child("progressBar")->property("to").toInt(), 13);
        QTest::keySequence(m_window, QKeySequence::Open);
        QVERIFY(completed.wait(30000));
        QCOMPARE(seen, statuses);
        QCOMPARE(m_received, received);
        QVERIFY(completed.size() == 1 && grid->isEnabled() && !dialog->property("visible").toBool());
        QTest::keySequence(m_window, QKeySequence::Open);
        QTRY_VERIFY(dialog->property("visible").toBool());
    }

private:
    // A window made from the settings store, shown and active, so that
    // shortcuts reach it.
    void createWindow()
    {
        m_engine.emplace(QUrl(QStringLiteral("qrc:/main.qml")));
        m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().value(0));
        m_tftp = m_window->findChild<QTftp *>(QStringLiteral("qtftp"));
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
    }
    QQuickItem *child(const char *name) const { return m_window->findChild<QQuickItem *>(QLatin1String(name)); }
    static QString setting(const QString &key) { return QSettings().value(key).toString(); }

    // Plays the device: like one erasing its flash, it answers each write
    // request after 3 s, then each block at once; it refuses the files in
    // m_refused.
    void answerDevice()
    {
        while (m_device.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_device.receiveDatagram();
            if (datagram.data().startsWith(QByteArray("\0\2", 2))) {
                const QString name = QString::fromUtf8(datagram.data().mid(2).constData());
                m_received.append(name + u'=');
                const QNetworkDatagram reply = datagram.makeReply(
                        m_refused.contains(name) ? QByteArray("\0\5\0\0Permission denied", 22) : QByteArray("\0\4\0\0", 4));
                QTimer::singleShot(3000, &m_device, [this, reply] { m_device.writeDatagram(reply); });
            } else {
                m_received.last() += QString::fromUtf8(datagram.data().mid(4));
                m_device.writeDatagram(datagram.makeReply(QByteArray("\0\4", 2) + datagram.data().mid(2, 2)));
            }
        }
    }

    std::optional<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    QTftp *m_tftp = nullptr;
    QUdpSocket m_device;
    QStringList m_refused;
    QStringList m_received;
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
