#include "controller/identity.h"
#include "tests/support/devicestandin.h"
#include "tests/support/testfiles.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtQuickTest>

#include <optional>

// What the window's tests (tst_window.qml) cannot do from QML: the settings
// store read under its literal keys, firmware images in a folder of their
// own, and devices played on loopback. The tests know it as "fixture".
class Fixture : public QObject
{
    Q_OBJECT

public:
    // Each test starts from an empty settings store and folder, and devices
    // that hold nothing.
    Q_INVOKABLE void reset()
    {
        QSettings().clear();
        m_folder.emplace();
        m_devices->clearFiles();
    }
    Q_INVOKABLE QString setting(const QString &key) const { return QSettings().value(key).toString(); }

    // Writes an image that holds its own name; returns its folder.
    Q_INVOKABLE QUrl writeImage(const QString &name)
    {
        writeTestFile(m_folder->filePath(name), name.toUtf8());
        return QUrl::fromLocalFile(m_folder->path());
    }

    Q_INVOKABLE int devicePort(int device) const { return m_devices->ports().at(device); }
    // What the devices stored, "name=bytes" each, in order.
    Q_INVOKABLE QStringList stored() const
    {
        QStringList files;
        for (const DeviceStandIn::File &file : m_devices->files())
            files.append(file.name + u'=' + QString::fromUtf8(file.bytes));
        return files;
    }

public slots:
    // Three devices: the first two, like ones erasing their flash, answer each
    // request after 3 s, and refuse the application image and the other one;
    // the third refuses the application image's first block.
    void applicationAvailable()
    {
        QStandardPaths::setTestModeEnabled(true);
        Identity::apply(QString::fromLatin1(Identity::windowName));
        QList<StandInDevice> devices(3);
        for (StandInDevice &device : devices)
            device.refusedName = QStringLiteral("7420-R-v1.bin");
        devices[0].answerDelay = devices[1].answerDelay = std::chrono::seconds(3);
        devices[0].refusalText = devices[1].refusalText = "Permission denied";
        devices[1].refusedName = QStringLiteral("7420BT-v1 #2?%41.bin");
        devices[2].refusedBlock = 1;
        devices[2].refusalCode = 3;
        devices[2].refusalText = "Disk full";
        m_devices.emplace(devices);
    }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->rootContext()->setContextProperty(QStringLiteral("fixture"), this); }
    void cleanupTestCase() { m_devices.reset(); }

private:
    std::optional<QTemporaryDir> m_folder;
    std::optional<DeviceStandIn> m_devices;
};

QUICK_TEST_MAIN_WITH_SETUP(window, Fixture)

#include "tst_window.moc"
