#include "controller/identity.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtQuickTest>

#include <optional>

// What the window's tests (tst_window.qml) cannot do from QML: the settings
// store read under its literal keys, firmware images in a folder of their
// own, and a device played on loopback. The tests know it as "fixture".
class Fixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int devicePort READ devicePort CONSTANT)
    Q_PROPERTY(QStringList refused MEMBER m_refused)
    // What the device received, "name=bytes" for each write request.
    Q_PROPERTY(QStringList received MEMBER m_received)

public:
    // Each test starts from an empty settings store and folder.
    Q_INVOKABLE void reset()
    {
        QSettings().clear();
        m_folder.emplace();
        m_received.clear();
    }
    Q_INVOKABLE QString setting(const QString &key) const { return QSettings().value(key).toString(); }

    // Writes an image that holds its own name; returns its folder.
    Q_INVOKABLE QUrl writeImage(const QString &name)
    {
        QFile image(m_folder->filePath(name));
        if (!image.open(QIODevice::WriteOnly) || image.write(name.toUtf8()) != name.size())
            qFatal("cannot write %s", qPrintable(image.fileName()));
        return QUrl::fromLocalFile(m_folder->path());
    }

    int devicePort() const { return m_device.localPort(); }

public slots:
    void applicationAvailable()
    {
        QStandardPaths::setTestModeEnabled(true);
        Identity::apply(QString::fromLatin1(Identity::windowName));
        if (!m_device.bind(QHostAddress::LocalHost))
            qFatal("no loopback port for the device");
        connect(&m_device, &QUdpSocket::readyRead, this, &Fixture::answerDevice);
    }

    void qmlEngineAvailable(QQmlEngine *engine) { engine->rootContext()->setContextProperty(QStringLiteral("fixture"), this); }

private:
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

    std::optional<QTemporaryDir> m_folder;
    QUdpSocket m_device;
    QStringList m_refused;
    QStringList m_received;
};

QUICK_TEST_MAIN_WITH_SETUP(window, Fixture)

#include "tst_window.moc"
