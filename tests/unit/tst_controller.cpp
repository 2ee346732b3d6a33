#include "controller/identity.h"
#include "controller/qtftp.h"
#include "tftp/tftppacket.h"

#include <QDir>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>

class ControllerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        Identity::apply(QString::fromLatin1(Identity::windowName));
    }

    // QML and the bindings saved with it reach the controller by name and
    // order: a member renamed or moved, or an argument renamed, breaks them
    // without a compiler error.
    void metaObjectInterface()
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

    void fileSelection_data()
    {
        QTest::addColumn<QStringList>("names"); // in the folder, in this order; a trailing '/' makes a folder
        QTest::addColumn<QStringList>("sent"); // in sending order, '*' marking application images

        // Application images first, then the other patterns in their order;
        // no pattern takes other families, other case, or another extension.
        QTest::newRow("patterns in order, near misses left out")
                << QStringList{ "7481-v1.bin", "7422WR-v1.bin", "7421WA-v1.bin", "7420WP-v1.bin", "7422WB-v1.bin",
                                "7421SL-v1.bin", "7420BL-v1.bin", "7422BT-v1.bin", "7421-v1.bin", "7422-R-v1.bin",
                                "readme.txt", "7485-v1.bin", "7420bt-v1.bin", "7420-V1.BIN", "7420-v1.hex",
                                "7423-v1.bin", "7482-v1.bin" }
                << QStringList{ "7422-R-v1.bin*", "7421-v1.bin*", "7422BT-v1.bin", "7420BL-v1.bin", "7421SL-v1.bin",
                                "7422WB-v1.bin", "7420WP-v1.bin", "7421WA-v1.bin", "7422WR-v1.bin", "7481-v1.bin",
                                "7485-v1.bin" };
        // Within a pattern, names in order ignoring case; a name matching two
        // patterns is sent twice.
        QTest::newRow("patterns not anchored, names in order")
                << QStringList{ "old-7420-v1.bin", "7420-v1.bin.bak", "7420-v9.bin", "7420-vB.bin", "7420-v10.bin",
                                "7420-va.bin", "7420-R-v1-7421BT-v2.bin" }
                << QStringList{ "7420-R-v1-7421BT-v2.bin*", "7420-v1.bin.bak*", "7420-v10.bin*", "7420-v9.bin*",
                                "7420-va.bin*", "7420-vB.bin*", "old-7420-v1.bin*", "7420-R-v1-7421BT-v2.bin*" };
        // Names that a URL would read as a query, a fragment or an escape, and
        // other punctuation, spaces and letters beyond ASCII, go as they are.
        QTest::newRow("hidden files, folders and sub-folders left out; odd names")
                << QStringList{ ".7420-v2.bin", "._7420-v3.bin", "7420-v4.bin/", "sub/", "sub/7420-v5.bin", "7420-v2#3?%41.bin",
                                "7420BT-v2 final \u00e9t\u00e9-\u0416.bin", "7420BT-v[3];a=b&c'd.bin" }
                << QStringList{ "7420-v2#3?%41.bin*", "7420BT-v2 final \u00e9t\u00e9-\u0416.bin", "7420BT-v[3];a=b&c'd.bin" };
    }

    // Each file planned holds the bytes of the very file listed, which holds
    // its name; the "done" marker comes last.
    void fileSelection()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, sent);
        QTemporaryDir folder;
        for (const QString &name : names) {
            QFile file(folder.filePath(name));
            QVERIFY(name.endsWith(u'/') ? QDir().mkpath(file.fileName()) : file.open(QIODevice::WriteOnly) && file.write(name.toUtf8()) > 0);
        }
        QStringList listed;
        const UpdatePlan plan = UpdatePlan::readFolder(folder.path(), Tftp::MaxImageSize, false);
        for (const PlannedFile &file : plan.files()) {
            QVERIFY2(file.kind == PlannedFile::Marker || file.bytes == file.name.toUtf8(), qPrintable(file.name));
            listed << file.name + (file.kind == PlannedFile::ApplicationImage ? "*" : "")
                            + (file.kind == PlannedFile::Marker ? " marker" : "");
        }
        QCOMPARE(listed, sent << QStringLiteral("done marker"));
    }

    // The interface as earlier versions saved it (tst_window reads both keys
    // back, and restores the address from its own). It selects its own
    // first entry, matched as text: Linux names may hold "(" and "+", and a
    // network namespace of the test's own lets it name one so. An entry
    // counts when it is the whole name followed by the separator. A saved
    // interface gone since selects the first entry; one without an entry,
    // none.
    void savedSettings()
    {
        QSettings settings;
        if (unshare(CLONE_NEWNET) != 0)
            QSKIP("renaming an interface needs a network namespace of the test's own, and so root");
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), { "link", "set", "lo", "name", "e(1)+" }), 0);
        settings.setValue(QStringLiteral("savedInterface"), QStringLiteral("e(1)+"));
        QTftp tftp;
        tftp.setIfsList({ "e1 -- 10.0.0.1", "xe(1)+ -- 10.0.0.2", "e(1)+x -- 10.0.0.3", "e(1)+ -- 127.0.0.1", "e(1)+ -- 10.0.0.4" });
        QCOMPARE(tftp.savedInterfaceIndex(), 3);
        tftp.setIfsList({ "e1 -- 10.0.0.1", "e(1)+x -- 10.0.0.3" });
        QCOMPARE(tftp.savedInterfaceIndex(), -1);
        settings.setValue(QStringLiteral("savedInterface"), QStringLiteral("gone0"));
        QCOMPARE(tftp.savedInterfaceIndex(), 0);
    }
};

QTEST_GUILESS_MAIN(ControllerTest)
#include "tst_controller.moc"
