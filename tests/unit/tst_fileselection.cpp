#include "qtftp.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList debugLines;
QtMessageHandler testLog = nullptr;

void createFiles(const QString &folder, const QStringList &names)
{
    for (const QString &name : names) {
        QFile file(folder + u'/' + name);
        QVERIFY2(file.open(QIODevice::WriteOnly) && file.write(name.toUtf8()) > 0, qPrintable(name));
    }
}

} // namespace

class FileSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void cleanup() { qInstallMessageHandler(testLog); }
    void selection_data();
    void selection();
    void rebuildAndBypassableImages();

private:
    std::optional<QTemporaryDir> folder;
    QUrl folderUrl() const { return QUrl::fromLocalFile(folder->path()); }
};

void FileSelectionTest::init()
{
    folder.emplace();
    QVERIFY(folder->isValid());
    QTftp::k_bypassableFiles.clear();
    debugLines.clear();
    testLog = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtDebugMsg)
            debugLines << message;
    });
}

void FileSelectionTest::selection_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");

    // Names that no pattern takes: other families, case, digits outside them.
    QTest::newRow("every kind in pattern order, application images first")
            << QStringList{ "7481-v1.bin", "7422WR-v1.bin", "7421WA-v1.bin", "7420WP-v1.bin", "7422WB-v1.bin",
                            "7421SL-v1.bin", "7420BL-v1.bin", "7422BT-v1.bin", "7421-v1.bin", "7422-R-v1.bin",
                            "readme.txt", "7485-v1.bin", "7420bt-v1.bin", "7420-V1.BIN", "7420-v1.BIN",
                            "7423-v1.bin", "7482-v1.bin", "7480-v1.bin" }
            << QStringList{ "7422-R-v1.bin", "7421-v1.bin", "7422BT-v1.bin", "7420BL-v1.bin", "7421SL-v1.bin",
                            "7422WB-v1.bin", "7420WP-v1.bin", "7421WA-v1.bin", "7422WR-v1.bin", "7481-v1.bin",
                            "7485-v1.bin" };
    // Within a pattern, names in order ignoring case; a name matching two
    // patterns is sent twice.
    QTest::newRow("patterns not anchored, versions in name order")
            << QStringList{ "old-7420-v1.bin", "7420-v1.bin.bak", "7420-v9.bin", "7420-vB.bin", "7420-v10.bin",
                            "7420-va.bin", "7420-R-v1-7421-v2.bin" }
            << QStringList{ "7420-R-v1-7421-v2.bin", "7420-R-v1-7421-v2.bin", "7420-v1.bin.bak", "7420-v10.bin",
                            "7420-v9.bin", "7420-va.bin", "7420-vB.bin", "old-7420-v1.bin" };
    // Entries are URL text: what a URL would read as a query, a fragment or
    // an escape is escaped, together, so that the order of the replacements
    // shows too; nothing else is.
    QTest::newRow("hash, question mark, percent") << QStringList{ "7420-v2#3?%41.bin" }
                                                  << QStringList{ "7420-v2%233%3F%2541.bin" };
    QTest::newRow("spaces, non-ASCII letters") << QStringList{ "7420-v2 final \u00e9t\u00e9-\u0416.bin" }
                                               << QStringList{ "7420-v2 final \u00e9t\u00e9-\u0416.bin" };
    QTest::newRow("other punctuation") << QStringList{ "7420-v[2];a=b&c'd.bin" }
                                       << QStringList{ "7420-v[2];a=b&c'd.bin" };
}

void FileSelectionTest::selection()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    createFiles(folder->path(), names);
    QTftp tftp;
    tftp.buildFileList(folderUrl());
    for (QString &name : expected)
        name.prepend(folderUrl().toString() + u'/');
    QCOMPARE(tftp.firmwareFileList(), expected);
    // Each entry is turned back into a URL to open the file and to name the
    // upload; it must lead to exactly the file that was listed, which holds
    // its own name.
    for (const QString &text : expected) {
        const QUrl entry(text, QUrl::TolerantMode);
        QFile file(entry.toLocalFile());
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(text));
        QCOMPARE(file.readAll(), entry.fileName().toUtf8());
    }
}

// The list reflects the folder at each build: empty, then with files, then
// missing. Hidden files, folders and what sub-folders hold are never sent.
// Every build adds the application images, lower-cased, to the bypass list.
void FileSelectionTest::rebuildAndBypassableImages()
{
    QTftp tftp;
    tftp.buildFileList(folderUrl());
    QVERIFY(tftp.firmwareFileList().isEmpty());

    createFiles(folder->path(),
                { "7420-R-v1.0.bin", "7420-v2.0.bin", "7421BT-v3.0.bin", ".7420-v2.bin", "._7420-v3.bin" });
    QDir dir(folder->path());
    QVERIFY(dir.mkdir(QStringLiteral("7420-v4.bin")) && dir.mkdir(QStringLiteral("sub")));
    createFiles(dir.filePath(QStringLiteral("sub")), { "7420-v5.bin" });
    tftp.buildFileList(folderUrl());
    const QStringList listed = tftp.firmwareFileList();
    const QString prefix = folderUrl().toString() + u'/';
    QCOMPARE(listed, QStringList({ prefix + "7420-R-v1.0.bin", prefix + "7420-v2.0.bin", prefix + "7421BT-v3.0.bin" }));
    QCOMPARE(QTftp::k_bypassableFiles, QStringList({ "7420-r-v1.0.bin", "7420-v2.0.bin" }));
    tftp.buildFileList(folderUrl());
    QCOMPARE(tftp.firmwareFileList(), listed);
    QCOMPARE(QTftp::k_bypassableFiles.size(), 4);

    QVERIFY(dir.removeRecursively());
    tftp.buildFileList(folderUrl());
    QVERIFY(tftp.firmwareFileList().isEmpty());

    const QString listLine = QStringLiteral("QList(\"%1\")").arg(listed.join(QStringLiteral("\", \"")));
    QCOMPARE(debugLines, QStringList({ "QList()", "dsda", listLine, "dsda", listLine, "dsda", "QList()", "dsda" }));
}

QTEST_GUILESS_MAIN(FileSelectionTest)
#include "tst_fileselection.moc"
