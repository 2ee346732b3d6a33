#include "qtftp.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList debugLines;

void recordDebugLine(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

void createFiles(const QString &folder, const QStringList &names)
{
    for (const QString &name : names) {
        QFile file(folder + u'/' + name);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(name));
        file.write(name.toUtf8());
    }
}

} // namespace

class FileSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void selection_data();
    void selection();
    void applicationImagesBecomeBypassable();
    void rebuildReplacesTheList();
    void folderWithoutFirmware_data();
    void folderWithoutFirmware();
    void entriesNameTheListedFile_data();
    void entriesNameTheListedFile();

private:
    QStringList select(const QStringList &names);

    QTemporaryDir folder;
    QtMessageHandler previousHandler = nullptr;
};

void FileSelectionTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(folder.isValid());
}

void FileSelectionTest::init()
{
    QDir(folder.path()).removeRecursively();
    QDir().mkpath(folder.path());
    QTftp::k_bypassableFiles.clear();
    debugLines.clear();
    previousHandler = qInstallMessageHandler(recordDebugLine);
}

void FileSelectionTest::cleanup()
{
    qInstallMessageHandler(previousHandler);
}

QStringList FileSelectionTest::select(const QStringList &names)
{
    createFiles(folder.path(), names);
    QTftp tftp;
    tftp.buildFileList(QUrl::fromLocalFile(folder.path()));
    QStringList selected;
    const QString prefix = QUrl::fromLocalFile(folder.path()).toString() + u'/';
    for (const QString &entry : tftp.firmwareFileList()) {
        if (!entry.startsWith(prefix))
            return { QStringLiteral("entry outside the folder: ") + entry };
        selected << entry.mid(prefix.size());
    }
    return selected;
}

void FileSelectionTest::selection_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("application images first")
            << QStringList{ "readme.txt", "7485-v1.bin", "7421BT-v3.0.bin", "7420-v2.0.bin", "7420-R-v1.0.bin" }
            << QStringList{ "7420-R-v1.0.bin", "7420-v2.0.bin", "7421BT-v3.0.bin", "7485-v1.bin" };
    QTest::newRow("every kind in pattern order")
            << QStringList{ "7481-v1.bin", "7422WR-v1.bin", "7421WA-v1.bin", "7420WP-v1.bin", "7422WB-v1.bin",
                            "7421SL-v1.bin", "7420BL-v1.bin", "7422BT-v1.bin", "7421-v1.bin", "7422-R-v1.bin" }
            << QStringList{ "7422-R-v1.bin", "7421-v1.bin", "7422BT-v1.bin", "7420BL-v1.bin", "7421SL-v1.bin",
                            "7422WB-v1.bin", "7420WP-v1.bin", "7421WA-v1.bin", "7422WR-v1.bin", "7481-v1.bin" };
    QTest::newRow("case-sensitive patterns") << QStringList{ "7420bt-v1.bin", "7420-V1.BIN", "7420-v1.BIN" }
                                             << QStringList{};
    QTest::newRow("patterns not anchored") << QStringList{ "old-7420-v1.bin", "7420-v1.bin.bak" }
                                           << QStringList{ "7420-v1.bin.bak", "old-7420-v1.bin" };
    QTest::newRow("digits outside the families") << QStringList{ "7423-v1.bin", "7482-v1.bin", "7480-v1.bin" }
                                                 << QStringList{};
    QTest::newRow("several versions in name order ignoring case")
            << QStringList{ "7420-v9.bin", "7420-vB.bin", "7420-v10.bin", "7420-va.bin" }
            << QStringList{ "7420-v10.bin", "7420-v9.bin", "7420-va.bin", "7420-vB.bin" };
    QTest::newRow("a name matching two patterns is sent twice")
            << QStringList{ "7420-R-v1-7421-v2.bin" }
            << QStringList{ "7420-R-v1-7421-v2.bin", "7420-R-v1-7421-v2.bin" };
}

void FileSelectionTest::selection()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QCOMPARE(select(names), expected);
}

void FileSelectionTest::applicationImagesBecomeBypassable()
{
    select({ "7420-R-v1.0.bin", "7420-v2.0.bin", "7421BT-v3.0.bin" });
    QCOMPARE(QTftp::k_bypassableFiles, QStringList({ "7420-r-v1.0.bin", "7420-v2.0.bin" }));
}

void FileSelectionTest::rebuildReplacesTheList()
{
    createFiles(folder.path(), { "7420-v1.bin", ".7420-v2.bin", "._7420-v3.bin" });
    QDir(folder.path()).mkdir(QStringLiteral("7420-v4.bin"));
    QDir(folder.path()).mkdir(QStringLiteral("sub"));
    createFiles(folder.path() + QStringLiteral("/sub"), { "7420-v5.bin" });

    QTftp tftp;
    const QUrl url = QUrl::fromLocalFile(folder.path());
    tftp.buildFileList(url);
    const QStringList first = tftp.firmwareFileList();
    QCOMPARE(first, QStringList{ url.toString() + QStringLiteral("/7420-v1.bin") });
    tftp.buildFileList(url);
    QCOMPARE(tftp.firmwareFileList(), first);
    QCOMPARE(QTftp::k_bypassableFiles, QStringList({ "7420-v1.bin", "7420-v1.bin" }));

    // The list reflects the folder at the time of the rebuild.
    QVERIFY(QFile::remove(folder.path() + QStringLiteral("/7420-v1.bin")));
    tftp.buildFileList(url);
    QVERIFY(tftp.firmwareFileList().isEmpty());

    const QString listLine = QStringLiteral("QList(\"%1\")").arg(first.constFirst());
    QCOMPARE(debugLines, QStringList({ listLine, "dsda", listLine, "dsda", "QList()", "dsda" }));
}

void FileSelectionTest::folderWithoutFirmware_data()
{
    QTest::addColumn<QString>("subPath");
    QTest::newRow("empty folder") << QString();
    QTest::newRow("missing folder") << QStringLiteral("/does-not-exist");
}

void FileSelectionTest::folderWithoutFirmware()
{
    QFETCH(QString, subPath);
    QTftp tftp;
    tftp.buildFileList(QUrl::fromLocalFile(folder.path() + subPath));
    QVERIFY(tftp.firmwareFileList().isEmpty());
    QCOMPARE(debugLines, QStringList({ "QList()", "dsda" }));
}

void FileSelectionTest::entriesNameTheListedFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("entryName");

    QTest::newRow("ordinary") << "7420-v2.1.bin" << "7420-v2.1.bin";
    QTest::newRow("spaces") << "7420-v2 final copy.bin" << "7420-v2 final copy.bin";
    QTest::newRow("non-ASCII letters") << "7420-v2-\u00e9t\u00e9-\u0416.bin" << "7420-v2-\u00e9t\u00e9-\u0416.bin";
    QTest::newRow("hash") << "7420-v2#3.bin" << "7420-v2%233.bin";
    QTest::newRow("question mark") << "7420-v2?.bin" << "7420-v2%3F.bin";
    QTest::newRow("percent") << "7420-v2%41.bin" << "7420-v2%2541.bin";
    QTest::newRow("other punctuation") << "7420-v[2];a=b&c'd.bin" << "7420-v[2];a=b&c'd.bin";
}

// Each entry is turned back into a URL to open the file and to name the
// upload; it must lead to exactly the file that was listed.
void FileSelectionTest::entriesNameTheListedFile()
{
    QFETCH(QString, name);
    QFETCH(QString, entryName);
    createFiles(folder.path(), { name });
    QTftp tftp;
    const QUrl folderUrl = QUrl::fromLocalFile(folder.path());
    tftp.buildFileList(folderUrl);

    QCOMPARE(tftp.firmwareFileList(), QStringList{ folderUrl.toString() + u'/' + entryName });
    const QUrl entry(tftp.firmwareFileList().constFirst(), QUrl::TolerantMode);
    QCOMPARE(entry.toLocalFile(), folder.path() + u'/' + name);
    QCOMPARE(entry.fileName(), name);
    QFile file(entry.toLocalFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), name.toUtf8());
}

QTEST_GUILESS_MAIN(FileSelectionTest)
#include "tst_fileselection.moc"
