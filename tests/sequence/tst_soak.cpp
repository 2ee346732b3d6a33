#include "sequencetest.h"
#include "tftpdprocess.h"

#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

constexpr int runs = 200;
constexpr int baselineRun = 10;

int openDescriptors()
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    return int(fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = status.readAll(); // "VmRSS:    14604 kB"
    return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').constFirst().toLongLong();
}

} // namespace

// Many updates in a row through the sequence, as a long day at the bench
// would run them: every image arrives intact, and nothing piles up.
class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void consecutiveUpdates();
};

void SoakTest::consecutiveUpdates()
{
    QStandardPaths::setTestModeEnabled(true);
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    TftpdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QTemporaryDir folder;
    const QString name = QStringLiteral("7420BT-v1.bin");
    QTftp tftp;
    pointAt(tftp, server);
    DebugLines lines;
    QRandomGenerator random(20240611);
    int fdsBaseline = 0;
    qint64 rssBaseline = 0;

    for (int run = 1; run <= runs; ++run) {
        const QByteArray image = testImage(random.bounded(200 * 1024 + 1));
        QVERIFY(writeFile(folder.filePath(name), image));
        tftp.buildFileList(QUrl::fromLocalFile(folder.path()));

        const QList<qsizetype> completions = runUntilCompleted(tftp, lines, [&] { tftp.startUpdate(); });

        const QStringList log = lines.take();
        QVERIFY2(completions.size() == 1 && log.count(QStringLiteral("true")) == 2,
                 qPrintable(QStringLiteral("run %1: %2").arg(run).arg(log.join(u'|'))));
        QCOMPARE(tftp.errorString(), QStringLiteral("No Error"));
        QVERIFY2(server.readFile(name) == image, qPrintable(QStringLiteral("run %1: the image differs").arg(run)));
        QCOMPARE(server.readFile(QStringLiteral("done")), QByteArray(""));
        // The server overwrites only files that anyone may write; a fresh
        // file each run also rules out a stale copy passing the check.
        QVERIFY(QFile::remove(server.filePath(name)) && QFile::remove(server.filePath(QStringLiteral("done"))));
        if (run == baselineRun) {
            fdsBaseline = openDescriptors();
            rssBaseline = residentKiB();
        }
    }

    const int fdsAfter = openDescriptors();
    const qint64 rssAfter = residentKiB();
    qInfo("open descriptors %d after run %d, %d at the end; VmRSS %lld KiB after run %d, %lld KiB at the end",
          fdsBaseline, baselineRun, fdsAfter, rssBaseline, baselineRun, rssAfter);
    QVERIFY(rssBaseline > 0);
    QVERIFY2(fdsAfter <= fdsBaseline + 2, "open file descriptors grew");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' own bookkeeping grows resident memory (AddressSanitizer
    // holds freed memory back to catch late uses); LeakSanitizer checks at exit.
    QVERIFY2(rssAfter - rssBaseline < 8 * 1024, "resident memory grew");
#endif
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
