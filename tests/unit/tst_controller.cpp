#include "controller/qtftp.h"

#include <QMetaMethod>
#include <QMetaProperty>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

class ControllerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void metaObjectInterface();
    void settersEmitOnlyOnChange();
    void savedSettings();
};

void ControllerTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
}

// QML and the bindings saved with it reach the controller by name and
// order: a member renamed or moved, or an argument renamed, breaks them
// without a compiler error.
void ControllerTest::metaObjectInterface()
{
    const QMetaObject &meta = QTftp::staticMetaObject;
    QByteArrayList members;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
        members << meta.property(i).typeName() + QByteArray(meta.property(i).isWritable() ? " rw " : " ")
                        + meta.property(i).name();
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        members << QByteArrayList{ "method", "signal", "slot" }.at(method.methodType())
                        + (method.access() == QMetaMethod::Public ? " " : " private ") + method.typeName() + ' '
                        + method.name() + '(' + method.parameterNames().join(',') + ')';
    }
    QCOMPARE(members, QByteArrayList({
        "QString errorString", "QString rw remoteAddress", "ushort rw remotePort", "QString rw localAddress",
        "ushort rw localPort", "QStringList rw ifsList", "int fileSize", "int fileProgress", "QString updaterVersion",
        "signal void errorStringChanged(errorString)", "signal void remoteAddressChanged(remoteAddress)",
        "signal void remotePortChanged(remotePort)", "signal void localAddressChanged(localAddress)",
        "signal void localPortChanged(localPort)", "signal void ifsListChanged(ifsList)",
        "signal void updaterVersionChanged(updaterVersion)", "signal void fileSizeChanged(fileSize)",
        "signal void fileProgressChanged(fileProgress)", "signal void updateCompleted()",
        "slot void setRemoteAddress(remoteAddress)", "slot void setRemotePort(remotePort)",
        "slot void setLocalAddress(localAddress)", "slot void setLocalPort(localPort)",
        "slot void setIfsList(ifsList)", "slot private void futureFinishHandler()",
        "method void buildFileList(filesFolder)", "method void startUpdate()", "method bool sendFile(fileUrl)",
        "method QString loadNetoworkIf()", "method QString loadNetworkAddr()", "method void saveNetworkIf(ifName)",
        "method void saveNetworkAddr(addr)", "method int savedInterfaceIndex()" }));
}

// Through the property system, which calls the setters as QML does: the
// value a property has, a new one twice, then another that differs only in
// case or value.
void ControllerTest::settersEmitOnlyOnChange()
{
    QTftp tftp;
    const QList<std::tuple<const char *, QVariant, QVariant>> changes{
        { "remoteAddress", "device.local", "Device.local" }, { "localAddress", "10.0.0.1", "10.0.0.2" },
        { "remotePort", 6969, 69 }, { "ifsList", QStringList{ "a -- 10.0.0.1" }, QStringList() },
    };
    for (const auto &[name, first, second] : changes) {
        const QMetaProperty property = tftp.metaObject()->property(tftp.metaObject()->indexOfProperty(name));
        QSignalSpy spy(&tftp, property.notifySignal());
        for (const QVariant &value : { property.read(&tftp), first, first, second })
            QVERIFY2(property.write(&tftp, value), name);
        QCOMPARE(spy, QList<QVariantList>({ { first }, { second } }));
    }
}

// What one controller saves, a later one loads. The interface is saved
// under its system name, and selects its own first entry, found by whole
// name and separator: lo never selects lo0 or xlo. A saved interface gone
// since selects the first entry; one without an entry, none.
void ControllerTest::savedSettings()
{
    QTftp().saveNetworkAddr(QStringLiteral("tx-42.example"));
    QTftp().saveNetworkIf(QStringLiteral("lo"));
    QTftp().saveNetworkIf(QStringLiteral("no such interface"));
    QCOMPARE(QTftp().loadNetworkAddr() + u' ' + QTftp().loadNetoworkIf(), QStringLiteral("tx-42.example lo"));
    QTftp tftp;
    tftp.setIfsList({ "lo0 -- 10.0.0.1", "xlo -- 10.0.0.2", "lo -- 127.0.0.1", "lo -- 127.0.0.2" });
    QCOMPARE(tftp.savedInterfaceIndex(), 2);
    tftp.setIfsList({ "lo0 -- 10.0.0.1", "xlo -- 10.0.0.2" });
    QCOMPARE(tftp.savedInterfaceIndex(), -1);
    QSettings().setValue(QStringLiteral("savedInterface"), QStringLiteral("gone0"));
    QCOMPARE(tftp.savedInterfaceIndex(), 0);
}

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
