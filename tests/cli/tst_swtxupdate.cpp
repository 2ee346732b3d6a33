#include "tests/support/tftpdprocess.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

// A plain build stops in about 20 ms. Sanitizers slow the program's start
// and end several-fold, and ThreadSanitizer past a second.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr qint64 stopLimitMs = 10000;
#else
constexpr qint64 stopLimitMs = 1000;
#endif

using Files = QList<std::pair<QString, QByteArray>>;

QByteArray image(int size)
{
    // A period prime to the block size, so that a block sent twice or out of place shows.
    return QByteArray("0123456789abcdefg").repeated(size / 17 + 1).left(size);
}

// Stored in the folder in the opposite of their sending order.
const Files firmware{ { QStringLiteral("7485-v1.bin"), image(700) },
                      { QStringLiteral("7421BL-v2.bin"), image(1536) },
                      { QStringLiteral("7422-v3.bin"), image(70000) } };

QString writeFolder(const QTemporaryDir &dir, const Files &files)
{
    for (const auto &[name, data] : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
    }
    return dir.path();
}

QString loopbackDevice(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run runToEnd(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(SWTXUPDATE_PROGRAM), arguments);
    process.waitForFinished(120000);
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
             QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError()) };
}

} // namespace

class SwtxupdateTest : public QObject
{
    Q_OBJECT

private slots:
    void updatesDevicesInParallelAndLogsWhatEachGot()
    {
        if (!TftpdProcess::unavailableReason().isEmpty())
            QSKIP(qPrintable(TftpdProcess::unavailableReason()));
        QTemporaryDir folder;
        TftpdProcess servers[2]{ TftpdProcess(), TftpdProcess(QHostAddress(QHostAddress::LocalHostIPv6)) };
        QUdpSocket silent;
        QVERIFY(servers[0].start() && servers[1].start() && silent.bind(QHostAddress::LocalHost));
        const QString logPath = folder.filePath(QStringLiteral("update.jsonl"));
        const QStringList devices{ loopbackDevice(servers[0].port()), QStringLiteral("[::1]:%1").arg(servers[1].port()),
                                   loopbackDevice(silent.localPort()) };

        const Run run = runToEnd(QStringList{ QStringLiteral("--timeout"), QStringLiteral("1000"), QStringLiteral("--log"),
                                              logPath, writeFolder(folder, firmware) } + devices);
        QCOMPARE(run.status, 1);

        // Each device's records in order, as "file size sent result" and "delivered/files result".
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QHash<QString, QStringList> logged;
        while (!log.atEnd()) {
            const QVariantMap record = QJsonDocument::fromJson(log.readLine()).object().toVariantMap();
            const auto field = [&record](const char *key) { return record[QLatin1String(key)].toString(); };
            QVERIFY(QDateTime::fromString(field("time"), Qt::ISODateWithMs).isValid());
            logged[field("device")].append(
                    record.contains(QStringLiteral("file"))
                            ? QStringList{ field("file"), field("size"), field("sent"), field("result") }.join(u' ')
                            : QStringLiteral("%1/%2 %3").arg(field("delivered"), field("files"), field("result")));
        }
        for (int i = 0; i < 2; ++i) {
            QStringList received;
            for (const QString &name : QStringList{ "7422-v3.bin", "7421BL-v2.bin", "7485-v1.bin", "done" }) {
                const QByteArray stored = servers[i].readFile(name);
                QVERIFY2(!stored.isNull(), qPrintable(name));
                received.append(QStringLiteral("%1 %2 %2 true").arg(name).arg(stored.size()));
            }
            for (const auto &[name, data] : firmware)
                QCOMPARE(servers[i].readFile(name), data);
            QCOMPARE(logged[devices[i]], received << QStringLiteral("4/4 true"));
        }
        QCOMPARE(logged[devices[2]], QStringList({ "7422-v3.bin 70000 0 false", "0/4 false" }));
    }

    void listsFilesInSendingOrder()
    {
        QTemporaryDir folder;
        const Files files = firmware + Files{ { QStringLiteral("7420-R-v1.bin"), image(3) },
                                              { QStringLiteral("notes.txt"), image(9) } };
        const Run run = runToEnd({ QStringLiteral("--list"), writeFolder(folder, files) });
        QCOMPARE(run.status, 0);
        QCOMPARE(run.err, QString());
        QCOMPARE(run.out, QStringLiteral("7420-R-v1.bin\t3\tapplication\n7422-v3.bin\t70000\tapplication\n"
                                         "7421BL-v2.bin\t1536\tother\n7485-v1.bin\t700\tother\n"));
    }

    void badUseSendsNothing_data()
    {
        QTest::addColumn<QStringList>("arguments");
        // FOLDER, EMPTY and DEVICE stand for a folder with firmware, one without, and a listening device.
        QTest::newRow("unknown option") << QStringList{ "--bogus", "FOLDER", "DEVICE" };
        QTest::newRow("missing folder") << QStringList{ "FOLDER/missing", "DEVICE" };
        QTest::newRow("port 0") << QStringList{ "FOLDER", "127.0.0.1:0" };
        QTest::newRow("port 70000") << QStringList{ "FOLDER", "[::1]:70000" };
        QTest::newRow("unknown interface") << QStringList{ "--interface", "no-such-if", "FOLDER", "DEVICE" };
        QTest::newRow("empty folder") << QStringList{ "EMPTY", "DEVICE" };
        QTest::newRow("no device, none saved") << QStringList{ "FOLDER" };
    }

    void badUseSendsNothing()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir folder, empty;
        QUdpSocket device;
        QVERIFY(device.bind(QHostAddress::LocalHost));
        arguments.replaceInStrings(QStringLiteral("FOLDER"), writeFolder(folder, firmware))
                .replaceInStrings(QStringLiteral("EMPTY"), empty.path())
                .replaceInStrings(QStringLiteral("DEVICE"), loopbackDevice(device.localPort()));

        const Run run = runToEnd(arguments);
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QVERIFY2(run.err.startsWith(QStringLiteral("swtxupdate: ")), qPrintable(run.err));
        QVERIFY(!device.hasPendingDatagrams());
    }

    void signalStopsEveryTransfer_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    // Two devices that never answer keep their uploads of the largest image
    // running until the signal; only it can end them before the minute-long wait.
    void signalStopsEveryTransfer()
    {
        QFETCH(int, signal);
        QTemporaryDir folder;
        QUdpSocket devices[2];
        QVERIFY(devices[0].bind(QHostAddress::LocalHost) && devices[1].bind(QHostAddress::LocalHost));
        QProcess process;
        process.start(QStringLiteral(SWTXUPDATE_PROGRAM),
                      { QStringLiteral("--timeout"), QStringLiteral("60000"),
                        writeFolder(folder, { { QStringLiteral("7422-v9.bin"), image(33553919) } }),
                        loopbackDevice(devices[0].localPort()), loopbackDevice(devices[1].localPort()) });
        QByteArray out;
        while (out.count(": sending") < 2 && process.waitForReadyRead(30000))
            out += process.readAllStandardOutput();
        QVERIFY2(out.count(": sending") == 2, out.constData());

        QElapsedTimer sinceSignal;
        sinceSignal.start();
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(30000));
        QVERIFY2(sinceSignal.elapsed() < stopLimitMs, qPrintable(QString::number(sinceSignal.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        out += process.readAllStandardOutput();
        const QRegularExpression interruptedRow(QStringLiteral(R"(^127\.0\.0\.1:\d+ +0/2 .* Interrupted$)"),
                                                QRegularExpression::MultilineOption);
        QCOMPARE(QString::fromUtf8(out).count(interruptedRow), 2);
    }
};

QTEST_GUILESS_MAIN(SwtxupdateTest)
#include "tst_swtxupdate.moc"
