#include "qtftp.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkDatagram>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtQuickTest>

namespace {

// The controller reports the file lists it builds on the debug output only.
QStringList debugLines;
QtMessageHandler testLogHandler = nullptr;

void recordDebugLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines.append(message);
    testLogHandler(type, context, message);
}

} // namespace

// What the window tests need beyond the window itself: a clean settings
// store, a folder holding one firmware image, and a device on loopback that
// answers only when told, so that a test decides when an update ends.
class Fixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl firmwareFolder READ firmwareFolder CONSTANT)
    Q_PROPERTY(int imageSize READ imageSize CONSTANT)
    Q_PROPERTY(int devicePort READ devicePort CONSTANT)
    Q_PROPERTY(int datagrams READ datagrams NOTIFY datagramsChanged)

public:
    Fixture()
    {
        QFile image(m_folder.filePath(QStringLiteral("7420BT-v1.0.bin")));
        if (!image.open(QIODevice::WriteOnly) || image.write(QByteArray(imageSize(), 'x')) != imageSize())
            qFatal("cannot write the firmware image");
        if (!m_device.bind(QHostAddress::LocalHost, 0))
            qFatal("cannot bind the device socket");
        connect(&m_device, &QUdpSocket::readyRead, this, [this] {
            while (m_device.hasPendingDatagrams()) {
                m_lastDatagram = m_device.receiveDatagram();
                ++m_datagrams;
                emit datagramsChanged();
            }
        });
    }

    QUrl firmwareFolder() const { return QUrl::fromLocalFile(m_folder.path()); }
    int imageSize() const { return 1500; }
    int devicePort() const { return m_device.localPort(); }
    int datagrams() const { return m_datagrams; }

    // Clears the settings store and starts a fresh record of debug lines.
    Q_INVOKABLE void reset()
    {
        QSettings().clear();
        debugLines.clear();
        // The test log installs its own handler when the first test starts.
        if (const QtMessageHandler previous = qInstallMessageHandler(recordDebugLine); previous != recordDebugLine)
            testLogHandler = previous;
    }

    Q_INVOKABLE QStringList takeDebugLines() { return std::exchange(debugLines, {}); }

    // Answers whoever sent the last datagram: TFTP ACK of a block, or ERROR
    // code 2 (access violation).
    Q_INVOKABLE void acknowledge(int block) { reply(QByteArray("\0\4", 2) + char(block >> 8) + char(block)); }
    Q_INVOKABLE void refuse() { reply(QByteArray("\0\5\0\2Refused\0", 12)); }

signals:
    void datagramsChanged();

private:
    void reply(const QByteArray &packet)
    {
        m_device.writeDatagram(packet, m_lastDatagram.senderAddress(), quint16(m_lastDatagram.senderPort()));
    }

    QTemporaryDir m_folder;
    QUdpSocket m_device;
    QNetworkDatagram m_lastDatagram;
    int m_datagrams = 0;
};

class Setup : public QObject
{
    Q_OBJECT

public slots:
    void applicationAvailable()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
        QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
        qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        if (!m_fixture)
            m_fixture = new Fixture;
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), m_fixture);
    }

    void cleanupTestCase() { delete m_fixture; }

private:
    Fixture *m_fixture = nullptr;
};

QUICK_TEST_MAIN_WITH_SETUP(window, Setup)

#include "tst_window.moc"
