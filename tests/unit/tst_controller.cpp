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
    void init() { QSettings().clear(); }
    void metaObjectInterface();
    void startValuesAndReadOnlyProperties();
    void settersEmitOnlyOnChange();
    void settingsSurviveTheController();
    void interfaces();
};

void ControllerTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
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
        properties << QString::fromLatin1(property.typeName() + QByteArray(" ") + property.name())
                        + (property.isWritable() ? " rw" : "");
        QCOMPARE(property.notifySignal().name(), QByteArray(property.name()) + "Changed");
    }
    QCOMPARE(properties,
             QStringList({ "QString errorString", "QString remoteAddress rw", "ushort remotePort rw",
                           "QString localAddress rw", "ushort localPort rw", "QStringList ifsList rw",
                           "int fileSize", "int fileProgress", "QString updaterVersion" }));

    // Kind, access, return type, name and the parameters' types and names.
    const char *kinds[] = { "method", "signal", "slot" };
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QStringList parameters;
        for (int p = 0; p < method.parameterCount(); ++p)
            parameters << QString::fromLatin1(method.parameterTypeName(p) + ' ' + method.parameterNames().at(p));
        methods << QStringLiteral("%1%2 %3 %4(%5)")
                           .arg(QString::fromLatin1(kinds[method.methodType()]),
                                method.access() == QMetaMethod::Public ? QString() : QStringLiteral(" private"),
                                QString::fromLatin1(method.typeName()), QString::fromLatin1(method.name()),
                                parameters.join(u','));
    }
    const QStringList expectedMethods{
        "signal void errorStringChanged(QString errorString)",
        "signal void remoteAddressChanged(QString remoteAddress)", "signal void remotePortChanged(ushort remotePort)",
        "signal void localAddressChanged(QString localAddress)", "signal void localPortChanged(ushort localPort)",
        "signal void ifsListChanged(QStringList ifsList)", "signal void updaterVersionChanged(QString updaterVersion)",
        "signal void fileSizeChanged(int fileSize)", "signal void fileProgressChanged(int fileProgress)",
        "signal void updateCompleted()", "slot void setRemoteAddress(QString remoteAddress)",
        "slot void setRemotePort(ushort remotePort)", "slot void setLocalAddress(QString localAddress)",
        "slot void setLocalPort(ushort localPort)", "slot void setIfsList(QStringList ifsList)",
        "slot private void futureFinishHandler()", "method void buildFileList(QUrl filesFolder)",
        "method void startUpdate()", "method bool sendFile(QUrl fileUrl)", "method QString loadNetoworkIf()",
        "method QString loadNetworkAddr()", "method void saveNetworkIf(QString ifName)",
        "method void saveNetworkAddr(QString addr)", "method int savedInterfaceIndex()"
    };
    QCOMPARE(methods, expectedMethods);
}

void ControllerTest::startValuesAndReadOnlyProperties()
{
    QTftp tftp;
    QCOMPARE(tftp.errorString(), QStringLiteral("Open a folder to begin"));
    QCOMPARE(tftp.remoteAddress(), QString());
    QCOMPARE(tftp.localAddress(), QString());
    QCOMPARE(tftp.remotePort(), 69);
    QCOMPARE(tftp.fileSize(), 1);
    QCOMPARE(tftp.fileProgress(), 0);
    QCOMPARE(tftp.property("updaterVersion"), QVariant(QStringLiteral("1.1.0.9.0.5")));
    QVERIFY(tftp.firmwareFileList().isEmpty());

    for (const char *name : { "errorString", "fileSize", "fileProgress", "updaterVersion" })
        QVERIFY2(!tftp.setProperty(name, 42) && tftp.property(name) != QVariant(42), name);
}

// Through the property system, which calls the setter slots as QML does:
// the value a property has, a new one twice, then another.
void ControllerTest::settersEmitOnlyOnChange()
{
    QTftp tftp;
    const QList<std::tuple<const char *, QVariant, QVariant>> changes{
        { "remoteAddress", "device.local", "Device.local" },
        { "remotePort", QVariant::fromValue<ushort>(6969), QVariant::fromValue<ushort>(69) },
        { "localAddress", "not even an address", "10.0.0.1" },
        { "localPort", QVariant::fromValue<ushort>(4000), QVariant::fromValue<ushort>(0) },
        { "ifsList", QStringList{ "a -- 10.0.0.1" }, QStringList() },
    };
    for (const auto &[name, first, second] : changes) {
        const QMetaProperty property = tftp.metaObject()->property(tftp.metaObject()->indexOfProperty(name));
        QSignalSpy spy(&tftp, property.notifySignal());
        for (const QVariant &value : { property.read(&tftp), first, first, second })
            QVERIFY2(property.write(&tftp, value), name);
        QCOMPARE(spy, QList<QVariantList>({ { first }, { second } }));
        QCOMPARE(property.read(&tftp), second);
    }
}

// What one controller saves, a later one loads. The interface is stored under
// its system name; unknown names change nothing.
void ControllerTest::settingsSurviveTheController()
{
    QCOMPARE(QTftp().loadNetworkAddr(), QString());
    QCOMPARE(QTftp().loadNetoworkIf(), QString());
    QTftp().saveNetworkAddr(QStringLiteral("tx-42.example"));
    QCOMPARE(QTftp().loadNetworkAddr(), QStringLiteral("tx-42.example"));
    QCOMPARE(QSettings().value(QStringLiteral("savedAddress")), QVariant(QStringLiteral("tx-42.example")));
    QTftp().saveNetworkAddr(QString());
    QCOMPARE(QTftp().loadNetworkAddr(), QString());

    QTftp().saveNetworkIf(QNetworkInterface::interfaceFromName(QStringLiteral("lo")).humanReadableName());
    QTftp().saveNetworkIf(QStringLiteral("no such interface"));
    QTftp().saveNetworkIf(QString());
    QCOMPARE(QTftp().loadNetoworkIf(), QStringLiteral("lo"));
}

// Interfaces with awkward names are exercised in their own network namespace
// (tst_interfaces); here the system's list, and the loopback interface found
// in a chosen list.
void ControllerTest::interfaces()
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
    QVERIFY(expected.contains(QStringLiteral("lo -- 127.0.0.1")));

    tftp.setIfsList({ "lo0 -- 10.0.0.1", "xlo -- 10.0.0.2", "lo -- 127.0.0.1", "lo -- 127.0.0.2" });
    QSettings().setValue(QStringLiteral("savedInterface"), QStringLiteral("gone0"));
    QCOMPARE(tftp.savedInterfaceIndex(), 0);
    QSettings().setValue(QStringLiteral("savedInterface"), QStringLiteral("lo"));
    QCOMPARE(tftp.savedInterfaceIndex(), 2);
    tftp.setIfsList({ QStringLiteral("lo0 -- 10.0.0.1") });
    QCOMPARE(tftp.savedInterfaceIndex(), -1);
}

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
