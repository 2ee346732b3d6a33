#include "controller/qtftp.h"

#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtQuickTest>

// What the window tests cannot do from QML: clear the settings store, write
// firmware images, play a device that never answers, and stop an update,
// which the controller offers to C++ only. The tests know it as "fixture".
class Fixture : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void clearSettings() { QSettings().clear(); }
    Q_INVOKABLE void stopUpdate(QTftp *tftp) { tftp->stopUpdate(); }

    // Writes a five-byte image into the test's folder and returns the folder.
    Q_INVOKABLE QUrl writeImage(const QString &name)
    {
        QFile image(m_folder.filePath(name));
        if (!image.open(QIODevice::WriteOnly) || image.write("image") != 5)
            qFatal("cannot write %s", qPrintable(image.fileName()));
        return QUrl::fromLocalFile(m_folder.path());
    }

    // A bound loopback port that nobody reads keeps an update waiting; 0 if
    // none could be bound.
    Q_INVOKABLE int silentDevicePort() { return m_device.bind(QHostAddress::LocalHost) ? m_device.localPort() : 0; }

public slots:
    void applicationAvailable()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
        QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
        qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
    }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->rootContext()->setContextProperty(QStringLiteral("fixture"), this); }

private:
    QTemporaryDir m_folder;
    QUdpSocket m_device;
};

QUICK_TEST_MAIN_WITH_SETUP(window, Fixture)

#include "tst_window.moc"
