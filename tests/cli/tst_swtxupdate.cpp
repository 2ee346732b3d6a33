#include "tests/support/devicestandin.h"
#include "tests/support/testfiles.h"
#include "tests/support/tftpdprocess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
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

struct Firmware
{
    QString name;
    QString kind;
    QByteArray bytes;
};

// What an update of a folder that writeFolder() filled sends, in order.
const QList<Firmware> sending{ { QStringLiteral("7422-v3.bin"), QStringLiteral("application"), testImage(70000) },
                               { QStringLiteral("7421BL-v2.bin"), QStringLiteral("other"), testImage(1536) },
                               { QStringLiteral("7485-v1.bin"), QStringLiteral("other"), testImage(700) },
                               { QStringLiteral("done"), QStringLiteral("marker"), QByteArray("", 0) } };

// Writes the images, in the opposite of their sending order; returns the folder.
QString writeFolder(const QTemporaryDir &dir, const QList<Firmware> &images = sending.first(3))
{
    for (auto image = images.crbegin(); image != images.crend(); ++image)
        writeTestFile(dir.filePath(image->name), image->bytes);
    return dir.path();
}

QString sha256(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QString device(quint16 port)
{
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

// A device's error text that would move the cursor and draw a line of its own.
const QByteArray escapeCodes("\x1b[1A\r\x1b[2KNo Error\n");

// The played devices: one that answers at once, one that erases its flash
// before it answers each request, and one that refuses 7485-v1.bin (not an
// application image, whose refusal would count as delivered) with escapeCodes.
enum PlayedDevice { Answering, Erasing, Refusing };
QList<StandInDevice> playedDevices()
{
    QList<StandInDevice> devices(3);
    devices[Erasing].answerDelay = std::chrono::seconds(3);
    devices[Refusing].refusedName = sending[2].name;
    devices[Refusing].refusalText = escapeCodes;
    return devices;
}

// Runs what follows with source mounted over target (a system file such as
// /etc/hosts), for that process alone.
QStringList mountedOver(const QString &target, const QString &source)
{
    return { "unshare", "-m", "sh", "-c", R"(mount --bind "$0" "$1" && shift && exec "$@")", source, target };
}

struct Run
{
    int status = -1; // also for a run that hangs
    QString out, err;
};

Run runToEnd(const QStringList &arguments, const QStringList &wrapper = {})
{
    QProcess process;
    const QStringList command = wrapper + QStringList{ SWTXUPDATE_PROGRAM } + arguments;
    process.start(command.first(), command.mid(1));
    const bool ended = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return { ended ? process.exitCode() : -1, QString::fromUtf8(process.readAllStandardOutput()),
             QString::fromUtf8(process.readAllStandardError()) };
}

// Each record of the log as its values of keys, space-separated, in the order of keys; a key it lacks gives nothing.
QStringList readLog(const QString &path, const QStringList &keys)
{
    QFile log(path);
    log.open(QIODevice::ReadOnly); // a log never written reads as empty
    QStringList records;
    while (!log.atEnd()) {
        const QJsonObject record = QJsonDocument::fromJson(log.readLine()).object();
        QStringList values;
        for (const QString &key : keys)
            values.append(record[key].toVariant().toString());
        values.removeAll(QString());
        records.append(values.join(u' '));
    }
    return records;
}

} // namespace

class SwtxupdateTest : public QObject
{
    Q_OBJECT

private slots:
    void runsAgainstOneServer_data()
    {
        QTest::addColumn<QString>("bad"); // 7422-v3.bin: made bad, or a link to this; "held ..." on the server, read-only,
                                          // as it reads and in its place, or "altered" there for reads; or atftpd serves
        QTest::addColumn<QStringList>("arguments"); // FOLDER, EMPTY, LOG and PORT stand for the firmware, an empty folder,
                                                    // the log and the server's port
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // how stderr starts, or if empty the first file's record
        QTest::addColumn<int>("stored"); // files the server holds, in sending order; the marker follows all three
        QTest::addColumn<QString>("listed"); // for a bad file, its size, kind and digest in --list
        const QStringList plain{ "--log", "LOG", "FOLDER", "127.0.0.1:PORT" };
        QTest::newRow("localhost, ::1 first") << "" << QStringList{ "--interface", "127.0.0.1", "--log", "LOG", "FOLDER", "localhost:PORT" } << 0 << "512 1 false No Error" << 3 << "";
        QTest::newRow("--fast") << "" << QStringList{ "--fast" } + plain << 0 << "1428 1 false No Error" << 3 << "";
        QTest::newRow("--verify, altered") << "altered" << QStringList{ "--verify" } + plain << 1 << "512 1 false Verify failed: byte 1 differs" << 1 << "";
        QTest::newRow("log on a full disk") << "" << QStringList{ "--log", "/dev/full", "FOLDER", "127.0.0.1:PORT" } << 1
                                            << "swtxupdate: cannot write to the log /dev/full: No space left on device\n" << 3 << "";
        QTest::newRow("unreadable") << "unreadable" << plain << 1 << "512 1 false Could not open file 7422-v3.bin: Permission denied" << 0 << "70000\tapplication\t-";
        QTest::newRow("reads short") << "/sys/devices/system/cpu/online" << plain << 1 << "512 1 false Could not read file 7422-v3.bin: " << 0 << "4096\tapplication\t-";
        QTest::newRow("64 GiB, sparse") << "sparse" << plain << 1 << "512 1 false Image too large to send: 68719476736 " << 0 << "68719476736\tapplication\t-";
        // A device that runs the application image refuses it; its words show, and only a read-back proves it.
        QTest::newRow("bypassed") << "held" << plain << 0 << "512 1 false bypassed: the device answered 0 Permission denied" << 3 << "";
        QTest::newRow("bypassed, --verify") << "held" << QStringList{ "--verify" } + plain << 0 << "512 1 true bypassed: the device answered 0 Permission denied" << 3 << "";
        QTest::newRow("bypassed, --verify, altered") << "held altered" << QStringList{ "--verify" } + plain << 1 << "512 1 false Verify failed: byte 1 differs" << 0 << "";
        QTest::newRow("bypassed, --verify, short") << "held short" << QStringList{ "--verify" } + plain << 1 << "512 1 false Verify failed: 69999 bytes read, 70000 expected" << 0 << "";
        QTest::newRow("bypassed, --verify, unreadable") << "held unreadable" << QStringList{ "--verify" } + plain << 1 << "512 1 false Verify refused: 0 Permission denied" << 0 << "";
        // ERROR 8 refuses the options, not the image: asked again without them, it is stored.
        QTest::newRow("options refused") << "atftpd" << QStringList{ "--block-size", "8", "--verify" } + plain << 0 << "512 1 true No Error" << 3 << "";
        // Bad use sends nothing.
        QTest::newRow("listed twice") << "" << QStringList{ "FOLDER", "localhost:PORT", "127.0.0.1:PORT" } << 2 << "swtxupdate: devices localhost:" << 0 << "";
        QTest::newRow("port 70000") << "" << QStringList{ "FOLDER", "[::1]:70000" } << 2 << "swtxupdate: bad device [::1]:70000: port" << 0 << "";
        QTest::newRow("two ports") << "" << QStringList{ "FOLDER", "127.0.0.1:69:70" } << 2 << "swtxupdate: bad device 127.0.0.1:69:70: " << 0 << "";
        QTest::newRow("block size 7") << "" << QStringList{ "--block-size", "7" } + plain << 2 << "swtxupdate: --block-size takes" << 0 << "";
        QTest::newRow("window 65536") << "" << QStringList{ "--window", "65536" } + plain << 2 << "swtxupdate: --window takes" << 0 << "";
        QTest::newRow("unknown interface") << "" << QStringList{ "--interface", "no-such-if" } + plain << 2 << "swtxupdate: unknown interface no-such-if" << 0 << "";
        QTest::newRow("empty folder") << "" << QStringList{ "EMPTY", "127.0.0.1:PORT" } << 2 << "swtxupdate: " << 0 << "";
        QTest::newRow("no device, none saved") << "" << QStringList{ "FOLDER" } << 2 << "swtxupdate: no DEVICE given" << 0 << "";
    }

    // The program sees Debian's stock /etc/hosts, which names ::1 localhost first; the IPv4 interface the window
    // saves makes an IPv4 socket.
    void runsAgainstOneServer()
    {
        QFETCH(QString, bad);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(int, stored);
        QFETCH(QString, listed);
        QTemporaryDir folder, scratch; // scratch holds no firmware
        TftpdProcess server(QHostAddress(QHostAddress::LocalHost), bad == "atftpd" ? TftpdProcess::Atftpd : TftpdProcess::TftpdHpa);
        const QString path = writeFolder(folder) + "/7422-v3.bin";
        const bool held = bad.startsWith("held");
        QStringList wrapper = mountedOver("/etc/hosts", writeTestFile(scratch.filePath("hosts"), "::1 localhost\n127.0.0.1 localhost\n"));
        if (bad == "unreadable") {
            // The test runs as root, whom file modes do not stop.
            wrapper = QStringList{ "setpriv", "--bounding-set", "-dac_override,-dac_read_search" } + wrapper;
            QVERIFY(QFile::setPermissions(path, {}));
        } else if (bad == "sparse") {
            QVERIFY(QFile::resize(path, qint64(64) << 30));
        } else if (held || bad == "altered") {
            const QByteArray heldImage = bad.endsWith("altered") ? testImage(70000).replace(1, 1, "!") : testImage(bad.endsWith("short") ? 69999 : 70000);
            QVERIFY(server.writeFile("held.bin", heldImage));
            QVERIFY(!bad.endsWith("unreadable") || QFile::setPermissions(server.filePath("held.bin"), QFile::ReadOwner));
            server.setExtraArguments({ "-m", writeTestFile(scratch.filePath("remap"), held ? R"(r ^7422-v3\.bin$ held.bin)" : R"(rG ^7422-v3\.bin$ held.bin)") });
        } else if (!bad.isEmpty() && bad != "atftpd") {
            QVERIFY(QFile::remove(path) && QFile::link(bad, path));
        }
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        arguments.replaceInStrings("FOLDER", folder.path()).replaceInStrings("EMPTY", scratch.path())
                .replaceInStrings("LOG", scratch.filePath("update.jsonl")).replaceInStrings("PORT", QString::number(server.port()));

        const Run run = runToEnd(arguments, wrapper);
        QCOMPARE(run.status, status);
        const QString record = readLog(scratch.filePath("update.jsonl"), { "blksize", "windowsize", "verified", "status" }).value(0);
        QVERIFY2((run.err.isEmpty() ? record : run.err).startsWith(said), qPrintable(run.err + record));
        QVERIFY2(run.out.isEmpty() == (status == 2), qPrintable(run.out));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(server.readFile(sending[i].name), i < stored && !(held && i == 0) ? sending[i].bytes : QByteArray());
        QCOMPARE(server.readFile("done").isNull(), stored < 3);
        if (!listed.isEmpty())
            QVERIFY(runToEnd({ "--list", folder.path() }, wrapper).out.startsWith("7422-v3.bin\t" + listed + "\n"));
    }

    // Five devices updated at once. Two played devices, one of them erasing
    // its flash before it answers, and tftpd-hpa over IPv6 get each image as
    // it was when the update began, though the images are overwritten while
    // the slow device is still on the first file; the log says what each got,
    // and --list listed the same. A device's escape codes show escaped and are
    // logged exactly; a silent device fails alone.
    void sendsEveryDeviceTheImagesAsTheyWere()
    {
        QTemporaryDir folder;
        TftpdProcess server(QHostAddress(QHostAddress::LocalHostIPv6));
        QUdpSocket silent;
        QVERIFY(server.start() && silent.bind(QHostAddress::LocalHost));
        const QList<quint16> ports = m_standIn.ports();
        const QStringList devices{ device(ports[Answering]), device(ports[Erasing]), device(ports[Refusing]),
                                   QStringLiteral("[::1]:%1").arg(server.port()), device(silent.localPort()) };
        const Run list = runToEnd({ "--list", writeFolder(folder) });
        QProcess process;
        process.start(SWTXUPDATE_PROGRAM, QStringList{ "--log", folder.filePath("update.jsonl"), folder.path() } + devices);
        // What the device at index stored, as "name sha256" in sending order.
        const auto stored = [&](int index) {
            QStringList files;
            for (const Firmware &file : sending) {
                const QByteArray bytes = index < 3 ? m_standIn.file(ports[index], file.name) : server.readFile(file.name);
                files.append(bytes.isNull() ? QString() : file.name + u' ' + sha256(bytes));
            }
            files.removeAll(QString());
            return files;
        };
        QStringList expected, logged, listed; // as stored, as logged "file kind size sent sha256 result", as --list prints
        for (const Firmware &file : sending) {
            expected.append(file.name + u' ' + sha256(file.bytes));
            logged.append(QStringList{ file.name, file.kind, QString::number(file.bytes.size()), QString::number(file.bytes.size()),
                                       sha256(file.bytes), "true" }.join(u' '));
            listed.append(QStringList{ file.name, QString::number(file.bytes.size()), file.kind, sha256(file.bytes) }.join(u'\t') + u'\n');
        }
        QTRY_COMPARE_WITH_TIMEOUT(stored(Answering), expected, 30000);
        QVERIFY2(stored(Erasing).isEmpty(), "the slow device answered before the images were overwritten");
        for (const Firmware &file : sending.first(3))
            writeTestFile(folder.filePath(file.name), QByteArray(file.bytes.size(), 'x'));
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 1);

        QCOMPARE(list.out, listed.join(QString()));
        QHash<QString, QStringList> records; // each device's records, the device's own last as "delivered files result"
        for (const QString &record : readLog(folder.filePath("update.jsonl"), { "device", "file", "kind", "size", "sent", "sha256", "delivered", "files", "result" }))
            records[record.section(u' ', 0, 0)].append(record.section(u' ', 1));
        for (const int index : { 0, 1, 3 }) {
            QCOMPARE(stored(index), expected);
            QCOMPARE(records[devices[index]], logged + QStringList{ "4 4 true" });
        }
        QCOMPARE(records[devices[4]], QStringList({ "7422-v3.bin application 70000 0 " + sha256(sending[0].bytes) + " false", "0 4 false" }));

        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY2(!out.contains(u'\x1b') && !out.contains(u'\r'), qPrintable(out));
        QVERIFY2(out.contains(R"(: Protocol Error: 0 \x1b[1A\x0d\x1b[2KNo Error\x0a (0 bytes)"), qPrintable(out));
        QVERIFY(readLog(folder.filePath("update.jsonl"), { "device", "status" }).contains(devices[Refusing] + " Protocol Error: 0 " + escapeCodes));
    }

    void signalStopsEveryTransfer_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("lookingUp"); // the first device's name waits on a name server that never answers
        QTest::newRow("SIGINT") << SIGINT << false;
        QTest::newRow("SIGTERM") << SIGTERM << false;
        QTest::newRow("SIGINT in a name lookup") << SIGINT << true;
    }

    // Devices that never answer keep their uploads of the largest image
    // running until the signal; only it can end them before the minute-long wait.
    void signalStopsEveryTransfer()
    {
        QFETCH(int, signal);
        QFETCH(bool, lookingUp);
        QTemporaryDir folder;
        QUdpSocket devices[2], nameServer;
        QVERIFY(devices[0].bind(QHostAddress::LocalHost) && devices[1].bind(QHostAddress::LocalHost));
        QStringList wrapper;
        QString firstDevice = device(devices[0].localPort());
        if (lookingUp) {
            QVERIFY(nameServer.bind(QHostAddress("127.0.0.153"), 53));
            wrapper = mountedOver("/etc/resolv.conf", writeTestFile(folder.filePath("resolv"), "nameserver 127.0.0.153\n"));
            firstDevice = QStringLiteral("tx.swtxupdate.invalid:%1").arg(devices[0].localPort());
        }
        const QStringList command = wrapper + QStringList{ SWTXUPDATE_PROGRAM, "--timeout", "60000",
                                                           writeFolder(folder, { { "7422-v9.bin", "application", testImage(33553919) } }), firstDevice,
                                                           device(devices[1].localPort()) };
        QProcess process;
        process.start(command.first(), command.mid(1));
        QByteArray out;
        // Nothing is sent until every name is known.
        while (!lookingUp && out.count(": sending") < 2 && process.waitForReadyRead(30000))
            out += process.readAllStandardOutput();
        QVERIFY2(out.count(": sending") == (lookingUp ? 0 : 2), out.constData());
        QVERIFY(!lookingUp || nameServer.waitForReadyRead(30000));

        QElapsedTimer sinceSignal;
        sinceSignal.start();
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(30000));
        QVERIFY2(sinceSignal.elapsed() < stopLimitMs, qPrintable(QString::number(sinceSignal.elapsed())));
        QCOMPARE(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, 130);
        if (lookingUp) {
            QVERIFY(!devices[1].hasPendingDatagrams());
        } else {
            devices[1].receiveDatagram(); // the request
            QVERIFY(devices[1].receiveDatagram().data().startsWith(QByteArray("\0\5", 2))); // and an ERROR, so that it frees its session
        }
        out += process.readAllStandardOutput();
        QCOMPARE(QString::fromUtf8(out).count(QRegularExpression(R"(^\S+:\d+ +0/2 .* Interrupted$)", QRegularExpression::MultilineOption)), 2);
    }

private:
    // Its thread starts with the test object, before any child process:
    // ThreadSanitizer ends a program that starts a thread after it forked.
    DeviceStandIn m_standIn{ playedDevices() };
};

QTEST_GUILESS_MAIN(SwtxupdateTest)
#include "tst_swtxupdate.moc"
