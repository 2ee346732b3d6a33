#include "qtftp.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QNetworkInterface>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

class ControllerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void metaObjectInterface();
    void startValues();
    void readOnlyProperties();
    void settersEmitOnlyOnChange();
    void settingsSurviveTheController();
    void saveNetworkIfStoresSystemName();
    void interfaceListMatchesTheSystem();
    void savedInterfaceIndex();
};

void ControllerTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
}

void ControllerTest::init()
{
    QSettings().clear();
}

// QML binds to the meta-object by name and order; a reordered or renamed
// member silently breaks the window or stored bindings.
void ControllerTest::metaObjectInterface()
{
    const QMetaObject &meta = QTftp::staticMetaObject;
    QCOMPARE(meta.className(), "QTftp");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);

    QStringList properties;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
        const QMetaProperty property = meta.property(i);
        properties << QStringLiteral("%1 %2%3").arg(QString::fromLatin1(property.typeName()),
                                                     QString::fromLatin1(property.name()),
                                                     property.isWritable() ? QStringLiteral(" rw") : QString());
        QVERIFY(property.hasNotifySignal());
        QCOMPARE(property.notifySignal().name(), QByteArray(property.name()) + "Changed");
    }
    QCOMPARE(properties,
             QStringList({ "QString errorString", "QString remoteAddress rw", "ushort remotePort rw",
                           "QString localAddress rw", "ushort localPort rw", "QStringList ifsList rw",
                           "int fileSize", "int fileProgress", "QString updaterVersion" }));

    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        const char *kinds[] = { "method", "signal", "slot", "constructor" };
        QStringList names;
        for (const QByteArray &name : method.parameterNames())
            names << QString::fromLatin1(name);
        methods << QStringLiteral("%1 %2 %3 %4(%5)")
                           .arg(QString::fromLatin1(kinds[method.methodType()]),
                                method.access() == QMetaMethod::Public ? QStringLiteral("public")
                                                                       : QStringLiteral("private"),
                                QString::fromLatin1(method.typeName()), QString::fromLatin1(method.methodSignature()),
                                names.join(u','));
    }
    QCOMPARE(methods,
             QStringList({
                     "signal public void errorStringChanged(QString)(errorString)",
                     "signal public void remoteAddressChanged(QString)(remoteAddress)",
                     "signal public void remotePortChanged(ushort)(remotePort)",
                     "signal public void localAddressChanged(QString)(localAddress)",
                     "signal public void localPortChanged(ushort)(localPort)",
                     "signal public void ifsListChanged(QStringList)(ifsList)",
                     "signal public void updaterVersionChanged(QString)(updaterVersion)",
                     "signal public void fileSizeChanged(int)(fileSize)",
                     "signal public void fileProgressChanged(int)(fileProgress)",
                     "signal public void updateCompleted()()",
                     "slot public void setRemoteAddress(QString)(remoteAddress)",
                     "slot public void setRemotePort(ushort)(remotePort)",
                     "slot public void setLocalAddress(QString)(localAddress)",
                     "slot public void setLocalPort(ushort)(localPort)",
                     "slot public void setIfsList(QStringList)(ifsList)",
                     "slot private void futureFinishHandler()()",
                     "method public void buildFileList(QUrl)(filesFolder)",
                     "method public void startUpdate()()",
                     "method public bool sendFile(QUrl)(fileUrl)",
                     "method public QString loadNetoworkIf()()",
                     "method public QString loadNetworkAddr()()",
                     "method public void saveNetworkIf(QString)(ifName)",
                     "method public void saveNetworkAddr(QString)(addr)",
                     "method public int savedInterfaceIndex()()",
             }));
}

void ControllerTest::startValues()
{
    QTftp tftp;
    QCOMPARE(tftp.errorString(), QStringLiteral("Open a folder to begin"));
    QCOMPARE(tftp.remoteAddress(), QString());
    QCOMPARE(tftp.localAddress(), QString());
    QCOMPARE(tftp.remotePort(), 69);
    QCOMPARE(tftp.fileSize(), 1);
    QCOMPARE(tftp.fileProgress(), 0);
    QCOMPARE(tftp.updaterVersion(), QStringLiteral("1.1.0.9.0.5"));
    QCOMPARE(tftp.property("updaterVersion"), QVariant(QStringLiteral("1.1.0.9.0.5")));
    QVERIFY(tftp.firmwareFileList().isEmpty());
}

void ControllerTest::readOnlyProperties()
{
    QTftp tftp;
    QSignalSpy versionSpy(&tftp, &QTftp::updaterVersionChanged);
    for (const char *name : { "errorString", "fileSize", "fileProgress", "updaterVersion" }) {
        const QVariant before = tftp.property(name);
        QVERIFY2(!tftp.setProperty(name, QVariant(42)), name);
        QCOMPARE(tftp.property(name), before);
    }
    QCOMPARE(versionSpy.count(), 0);
}

void ControllerTest::settersEmitOnlyOnChange()
{
    QTftp tftp;
    QSignalSpy remoteAddressSpy(&tftp, &QTftp::remoteAddressChanged);
    QSignalSpy localAddressSpy(&tftp, &QTftp::localAddressChanged);
    QSignalSpy remotePortSpy(&tftp, &QTftp::remotePortChanged);
    QSignalSpy localPortSpy(&tftp, &QTftp::localPortChanged);
    QSignalSpy ifsListSpy(&tftp, &QTftp::ifsListChanged);

    tftp.setRemoteAddress(QStringLiteral("device.local"));
    tftp.setRemoteAddress(QStringLiteral("device.local"));
    tftp.setRemoteAddress(QStringLiteral("Device.local"));
    QCOMPARE(remoteAddressSpy.count(), 2);
    QCOMPARE(remoteAddressSpy.last().first().toString(), QStringLiteral("Device.local"));

    tftp.setLocalAddress(QStringLiteral("not even an address"));
    tftp.setLocalAddress(QStringLiteral("not even an address"));
    QCOMPARE(localAddressSpy.count(), 1);
    QCOMPARE(tftp.localAddress(), QStringLiteral("not even an address"));

    tftp.setRemotePort(69);
    QCOMPARE(remotePortSpy.count(), 0);
    QVERIFY(tftp.setProperty("remotePort", 6969));
    QVERIFY(tftp.setProperty("remotePort", 6969));
    QCOMPARE(remotePortSpy.count(), 1);
    QCOMPARE(remotePortSpy.first().first().value<unsigned short>(), 6969);

    tftp.setLocalPort(tftp.localPort());
    tftp.setLocalPort(4000);
    QCOMPARE(localPortSpy.count(), 1);

    const QStringList list = { QStringLiteral("a -- 10.0.0.1") };
    tftp.setIfsList(list);
    tftp.setIfsList(list);
    QCOMPARE(ifsListSpy.count(), 1);
    QCOMPARE(tftp.ifsList(), list);
}

void ControllerTest::settingsSurviveTheController()
{
    {
        QTftp first;
        QCOMPARE(first.loadNetworkAddr(), QString());
        QCOMPARE(first.loadNetoworkIf(), QString());
        first.saveNetworkAddr(QStringLiteral("tx-42.example"));
    }
    QTftp second;
    QCOMPARE(second.loadNetworkAddr(), QStringLiteral("tx-42.example"));
    second.saveNetworkAddr(QString());
    QCOMPARE(QTftp().loadNetworkAddr(), QString());
    QCOMPARE(QSettings().value(QStringLiteral("savedAddress")), QVariant(QString()));
}

void ControllerTest::saveNetworkIfStoresSystemName()
{
    const QNetworkInterface loopback = QNetworkInterface::interfaceFromName(QStringLiteral("lo"));
    if (!loopback.isValid())
        QSKIP("no interface named lo");
    QTftp tftp;
    tftp.saveNetworkIf(loopback.humanReadableName());
    QCOMPARE(tftp.loadNetoworkIf(), QStringLiteral("lo"));
    tftp.saveNetworkIf(QStringLiteral("no such interface"));
    tftp.saveNetworkIf(QString());
    QCOMPARE(tftp.loadNetoworkIf(), QStringLiteral("lo"));
}

void ControllerTest::interfaceListMatchesTheSystem()
{
    QStringList expected;
    for (const QNetworkInterface &networkInterface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry &entry : networkInterface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                expected << networkInterface.humanReadableName() + QStringLiteral(" -- ") + entry.ip().toString();
        }
    }
    QTftp tftp;
    QCOMPARE(tftp.ifsList(), expected);
    QVERIFY(tftp.ifsList().contains(QStringLiteral("lo -- 127.0.0.1")));
}

// Interfaces with awkward names are exercised in their own network
// namespace; these cases use the loopback interface and a chosen list.
void ControllerTest::savedInterfaceIndex()
{
    if (!QNetworkInterface::interfaceFromName(QStringLiteral("lo")).isValid())
        QSKIP("no interface named lo");
    QTftp tftp;
    QCOMPARE(tftp.savedInterfaceIndex(), 0);

    QSettings().setValue(QStringLiteral("savedInterface"), QStringLiteral("gone0"));
    QCOMPARE(tftp.savedInterfaceIndex(), 0);

    QSettings().setValue(QStringLiteral("savedInterface"), QStringLiteral("lo"));
    tftp.setIfsList({ QStringLiteral("lo0 -- 10.0.0.1"), QStringLiteral("xlo -- 10.0.0.2"),
                      QStringLiteral("lo -- 127.0.0.1"), QStringLiteral("lo -- 127.0.0.2") });
    QCOMPARE(tftp.savedInterfaceIndex(), 2);

    tftp.setIfsList({ QStringLiteral("lo0 -- 10.0.0.1") });
    QCOMPARE(tftp.savedInterfaceIndex(), -1);
}

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
