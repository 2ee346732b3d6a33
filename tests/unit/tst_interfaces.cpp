#include "qtftp.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <sched.h>

// Runs in a network namespace of its own, where interfaces with awkward names
// can be made without touching the machine's network.
class InterfacesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void interfaceList();
    void savedInterfaceIndex_data();
    void savedInterfaceIndex();
    void saveNetworkIfTakesTheNameLiterally();
};

static bool isolated = false;

static void ip(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), arguments);
    QVERIFY2(process.waitForFinished() && process.exitCode() == 0,
             qPrintable(arguments.join(u' ') + QStringLiteral(": ") + process.readAllStandardError()));
}

void InterfacesTest::initTestCase()
{
    if (!isolated)
        QSKIP("making a network namespace needs root");
    QStandardPaths::setTestModeEnabled(true);
    QSettings().clear();
    ip({ "link", "set", "lo", "up" });
    // veth interfaces come in pairs; the peer, created with the lower index,
    // stays without addresses and so never shows in the list.
    const QList<std::pair<QString, QStringList>> interfaces{
        { "en10", { "10.10.0.1/24" } }, { "en1", { "10.1.0.1/24" } },  { "v2", { "10.4.0.1/24" } },
        { "v(2)", { "10.2.0.1/24", "10.2.0.2/24" } }, { "brr0", { "10.5.0.1/24" } }, { "br+0", { "10.3.0.1/24" } },
        { "six0", { "fd00:1::1/64" } },
    };
    for (const auto &[name, addresses] : interfaces) {
        ip({ "link", "add", name, "type", "veth", "peer", "name", name.left(10) + "-peer" });
        for (const QString &address : addresses)
            ip({ "address", "add", address, "dev", name });
    }
    ip({ "link", "set", "en10", "up" });
}

// Interfaces that are down are listed as well as those that are up; only
// IPv4 addresses count, one entry each.
void InterfacesTest::interfaceList()
{
    QTftp tftp;
    QCOMPARE(tftp.ifsList(),
             QStringList({ "lo -- 127.0.0.1", "en10 -- 10.10.0.1", "en1 -- 10.1.0.1", "v2 -- 10.4.0.1",
                           "v(2) -- 10.2.0.1", "v(2) -- 10.2.0.2", "brr0 -- 10.5.0.1", "br+0 -- 10.3.0.1" }));
}

void InterfacesTest::savedInterfaceIndex_data()
{
    QTest::addColumn<QString>("saved");
    QTest::addColumn<int>("index");

    QTest::newRow("nothing saved") << QString() << 0;
    QTest::newRow("interface gone") << "eth7" << 0;
    QTest::newRow("prefix of a listed name") << "en1" << 2;
    QTest::newRow("longer name") << "en10" << 1;
    QTest::newRow("parentheses, first of two addresses") << "v(2)" << 4;
    QTest::newRow("plus sign") << "br+0" << 7;
    QTest::newRow("present without IPv4") << "six0" << -1;
}

void InterfacesTest::savedInterfaceIndex()
{
    QFETCH(QString, saved);
    QFETCH(int, index);
    QSettings().setValue(QStringLiteral("savedInterface"), saved);
    QCOMPARE(QTftp().savedInterfaceIndex(), index);
}

void InterfacesTest::saveNetworkIfTakesTheNameLiterally()
{
    QTftp tftp;
    tftp.saveNetworkIf(QStringLiteral("v(2)"));
    QCOMPARE(tftp.loadNetoworkIf(), QStringLiteral("v(2)"));
    tftp.saveNetworkIf(QStringLiteral("v.2."));
    tftp.saveNetworkIf(QStringLiteral("V(2)"));
    QCOMPARE(tftp.loadNetoworkIf(), QStringLiteral("v(2)"));
}

int main(int argc, char *argv[])
{
    // Before any thread exists, so that the whole process is in the namespace.
    isolated = unshare(CLONE_NEWNET) == 0;
    QCoreApplication app(argc, argv);
    InterfacesTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_interfaces.moc"
