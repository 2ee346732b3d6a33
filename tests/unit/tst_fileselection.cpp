#include "controller/qtftp.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class FileSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void selection_data();
    void selection();
};

void FileSelectionTest::selection_data()
{
    QTest::addColumn<QStringList>("names"); // in the folder; a trailing '/' makes a folder
    QTest::addColumn<QStringList>("expected"); // listed, in sending order, as URL text
    QTest::addColumn<QStringList>("bypassable"); // what one build adds to the bypass list

    // Application images first, then the other patterns in their order; no
    // pattern takes other families, other case, or another extension.
    QTest::newRow("patterns in order, near misses left out")
            << QStringList{ "7481-v1.bin", "7422WR-v1.bin", "7421WA-v1.bin", "7420WP-v1.bin", "7422WB-v1.bin",
                            "7421SL-v1.bin", "7420BL-v1.bin", "7422BT-v1.bin", "7421-v1.bin", "7422-R-v1.bin",
                            "readme.txt", "7485-v1.bin", "7420bt-v1.bin", "7420-V1.BIN", "7420-v1.hex",
                            "7423-v1.bin", "7482-v1.bin" }
            << QStringList{ "7422-R-v1.bin", "7421-v1.bin", "7422BT-v1.bin", "7420BL-v1.bin", "7421SL-v1.bin",
                            "7422WB-v1.bin", "7420WP-v1.bin", "7421WA-v1.bin", "7422WR-v1.bin", "7481-v1.bin",
                            "7485-v1.bin" }
            << QStringList{ "7422-r-v1.bin", "7421-v1.bin" };
    // Within a pattern, names in order ignoring case; a name matching two
    // patterns is sent twice.
    QTest::newRow("patterns not anchored, names in order")
            << QStringList{ "old-7420-v1.bin", "7420-v1.bin.bak", "7420-v9.bin", "7420-vB.bin", "7420-v10.bin",
                            "7420-va.bin", "7420-R-v1-7421BT-v2.bin" }
            << QStringList{ "7420-R-v1-7421BT-v2.bin", "7420-v1.bin.bak", "7420-v10.bin", "7420-v9.bin",
                            "7420-va.bin", "7420-vB.bin", "old-7420-v1.bin", "7420-R-v1-7421BT-v2.bin" }
            << QStringList{ "7420-r-v1-7421bt-v2.bin", "7420-v1.bin.bak", "7420-v10.bin", "7420-v9.bin",
                            "7420-va.bin", "7420-vb.bin", "old-7420-v1.bin" };
    QTest::newRow("hidden files, folders and what sub-folders hold left out")
            << QStringList{ ".7420-v2.bin", "._7420-v3.bin", "7420-v4.bin/", "sub/7420-v5.bin", "7420BT-v6.bin" }
            << QStringList{ "7420BT-v6.bin" } << QStringList();
    // A URL would read these as a query, a fragment or an escape, so they
    // are escaped, '%' first; nothing else is.
    QTest::newRow("hash, question mark, percent")
            << QStringList{ "7420-v2#3?%41.bin" } << QStringList{ "7420-v2%233%3F%2541.bin" }
            << QStringList{ "7420-v2#3?%41.bin" };
    QTest::newRow("spaces, non-ASCII letters, other punctuation")
            << QStringList{ "7420BT-v2 final \u00e9t\u00e9-\u0416.bin", "7420BT-v[3];a=b&c'd.bin" }
            << QStringList{ "7420BT-v2 final \u00e9t\u00e9-\u0416.bin", "7420BT-v[3];a=b&c'd.bin" } << QStringList();
}

// Built twice: the list is made anew, while the bypass list grows with each
// build.
void FileSelectionTest::selection()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, bypassable);
    QTemporaryDir folder;
    for (const QString &name : names) {
        QFile file(folder.filePath(name));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(name.endsWith(u'/') || (file.open(QIODevice::WriteOnly) && file.write(name.toUtf8()) > 0));
    }
    QTftp::k_bypassableFiles.clear();
    QTftp tftp;
    const QUrl url = QUrl::fromLocalFile(folder.path());
    tftp.buildFileList(url);
    tftp.buildFileList(url);

    for (QString &name : expected)
        name.prepend(url.toString() + u'/');
    QCOMPARE(tftp.firmwareFileList(), expected);
    QCOMPARE(QTftp::k_bypassableFiles, bypassable + bypassable);
    // Each entry is turned back into a URL to open the file and to name the
    // upload: it must lead to the very file listed, which holds its name.
    for (const QString &entry : expected) {
        const QUrl entryUrl(entry, QUrl::TolerantMode);
        QFile file(entryUrl.toLocalFile());
        QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == entryUrl.fileName().toUtf8(), qPrintable(entry));
    }
}

QTEST_GUILESS_MAIN(FileSelectionTest)
#include "tst_fileselection.moc"
