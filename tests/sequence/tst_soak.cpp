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
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) // "VmRSS:    14604 kB"
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
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
    tftp.setLocalAddress(QStringLiteral("127.0.0.1"));
    tftp.setRemoteAddress(QStringLiteral("127.0.0.1"));
    tftp.setRemotePort(server.port());
    DebugLines lines;
    QRandomGenerator random(20240611);
    const int fdsBefore = openDescriptors();
    int fdsBaseline = 0;
    qint64 rssBaseline = 0;
    qint64 bytesSent = 0;

    for (int run = 1; run <= runs; ++run) {
        QByteArray image(random.bounded(200 * 1024 + 1), Qt::Uninitialized);
        for (char &byte : image)
            byte = char(random.generate());
        QVERIFY(writeFile(folder.filePath(name), image));
        tftp.buildFileList(QUrl::fromLocalFile(folder.path()));

        const QList<qsizetype> completions = runUpdate(tftp, lines);

        const QStringList log = lines.take();
        QVERIFY2(completions.size() == 1 && log.count(QStringLiteral("true")) == 2,
                 qPrintable(QStringLiteral("run %1: %2").arg(run).arg(log.join(u'|'))));
        QCOMPARE(tftp.errorString(), QStringLiteral("No Error"));
        QVERIFY2(server.readFile(name) == image, qPrintable(QStringLiteral("run %1: the image differs").arg(run)));
        QCOMPARE(server.readFile(QStringLiteral("done")), QByteArray(""));
        // The server overwrites only files that anyone may write; a fresh
        // file each run also rules out a stale copy passing the check.
        QVERIFY(QFile::remove(server.filePath(name)) && QFile::remove(server.filePath(QStringLiteral("done"))));
        bytesSent += image.size();
        if (run == baselineRun) {
            fdsBaseline = openDescriptors();
            rssBaseline = residentKiB();
        }
    }

    const int fdsAfter = openDescriptors();
    const qint64 rssAfter = residentKiB();
    qInfo("%d updates, %lld bytes of images; open descriptors %d before, %d after run %d, %d at the end; "
          "VmRSS %lld KiB after run %d, %lld KiB at the end (%+lld KiB)",
          runs, bytesSent, fdsBefore, fdsBaseline, baselineRun, fdsAfter, rssBaseline, baselineRun, rssAfter,
          rssAfter - rssBaseline);
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
