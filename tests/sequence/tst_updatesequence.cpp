#include "sequencetest.h"
#include "tftpdprocess.h"

#include <QCryptographicHash>
#include <QStandardPaths>
#include <QTemporaryDir>

using Action = ScriptedTftpServer::Action;

namespace {

struct Firmware
{
    QString name;
    QByteArray content;
};

// A run's uploads in order: the files by pattern (the folder lists them the
// other way round), then the marker.
const QList<Firmware> sends{ { QStringLiteral("7422-v3.bin"), testImage(1000) },
                             { QStringLiteral("7421BL-v2.bin"), testImage(512) },
                             { QStringLiteral("7420WR-v1.bin"), testImage(1536) },
                             { QStringLiteral("done"), {} } };
const QStringList allDelivered(4, QStringLiteral("true"));

// An upload as the server saw it: name, mode, announced size, and the size
// and a digest of the bytes that arrived.
QString upload(const QString &name, const QByteArray &mode, const QByteArray &tsize, const QByteArray &data)
{
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex().left(8);
    return QStringLiteral("%1 %2 tsize %3: %4 bytes %5")
            .arg(name, QString::fromLatin1(mode), QString::fromLatin1(tsize))
            .arg(data.size())
            .arg(QString::fromLatin1(digest));
}

QString upload(const Firmware &file, bool refused = false)
{
    return upload(file.name, "octet", QByteArray::number(file.content.size()), refused ? QByteArray() : file.content);
}

// The first count uploads of a run, the refused one stopped at its request.
QStringList runUploads(int count, int refused = -1)
{
    QStringList uploads;
    for (int i = 0; i < count; ++i)
        uploads.append(upload(sends[i], i == refused));
    return uploads;
}

QStringList uploadsAt(const ScriptedTftpServer &server)
{
    QStringList uploads;
    QList<QByteArray> request; // name, mode, "tsize", size
    QByteArray data;
    const auto finish = [&] {
        if (!request.isEmpty())
            uploads.append(upload(QString::fromUtf8(request[0]), request.value(1),
                                  request.value(2) == "tsize" ? request.value(3) : "none", data));
    };
    for (const ScriptedTftpServer::Datagram &datagram : server.received()) {
        if (datagram.bytes.startsWith(QByteArrayView("\0\2", 2))) {
            finish();
            request = datagram.bytes.mid(2).split('\0');
            data.clear();
        } else if (datagram.bytes.startsWith(QByteArrayView("\0\3", 2))) {
            data += datagram.bytes.mid(4);
        }
    }
    finish();
    return uploads;
}

// The request and the blocks, the last one short.
int datagramsOf(const Firmware &file)
{
    return int(file.content.size() / 512) + 2;
}
const QList<int> fullRun{ datagramsOf(sends[0]), datagramsOf(sends[1]), datagramsOf(sends[2]), datagramsOf(sends[3]) };

// A controller aimed at the scripted server, with the folder's files listed.
// The server numbers datagrams across all the uploads it takes; the datagram
// counts given tell where each upload's request stands.
struct Rig
{
    Rig(const QUrl &folder, const QList<int> &datagrams)
    {
        int index = 0;
        for (const int count : datagrams) {
            requests.append(index);
            index += count;
        }
        pointAt(tftp, server);
        tftp.buildFileList(folder);
        lines.take();
    }

    ScriptedTftpServer server;
    QTftp tftp;
    DebugLines lines;
    QList<int> requests;
};

// One run: its debug lines, one updateCompleted after the last of them, the
// uploads so far and the final status.
void checkRun(Rig &rig, const QList<qsizetype> &completions, const QStringList &lines, const QStringList &uploads,
              const QString &status)
{
    QCOMPARE(rig.lines.take(), lines);
    QCOMPARE(completions, QList<qsizetype>{ lines.size() });
    QCOMPARE(uploadsAt(rig.server), uploads);
    QCOMPARE(rig.tftp.errorString(), status);
}

// Acts once, as soon as the named file's upload has begun.
template <typename Act>
void whenSending(QTftp &tftp, const QString &name, Act act)
{
    const QString sending = QStringLiteral("Sending file ") + name;
    QObject::connect(&tftp, &QTftp::errorStringChanged, &tftp,
                     [sending, act, done = false](const QString &status) mutable {
                         if (!done && status == sending) {
                             done = true;
                             act();
                         }
                     });
}

} // namespace

class UpdateSequenceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init();
    void emptyFolder();
    void run_data();
    void run();
    void vanishedFile_data();
    void vanishedFile();
    void localFileNamedDone();
    void refusedWhileRunning_data();
    void refusedWhileRunning();
    void tftpdRun_data();
    void tftpdRun();

private:
    QString path(const QString &name) const { return m_folder->filePath(name); }
    QUrl folderUrl() const { return QUrl::fromLocalFile(m_folder->path()); }

    // What a run logs that got as far as results.
    QStringList runLines(const QStringList &results) const
    {
        QStringList lines{ QStringLiteral("Starting the update") };
        for (qsizetype i = 0; i < results.size(); ++i)
            lines << sendFileLines(i < 3 ? QUrl::fromLocalFile(path(sends[i].name)) : QUrl(QStringLiteral("done")))
                  << results[i];
        return lines;
    }

    std::optional<QTemporaryDir> m_folder;
};

// A folder with the three files and a near miss.
void UpdateSequenceTest::init()
{
    m_folder.emplace();
    QVERIFY(writeFile(path(QStringLiteral("7423-v1.bin")), "not firmware"));
    for (const Firmware &file : sends.mid(0, 3))
        QVERIFY(writeFile(path(file.name), file.content));
}

// Nothing to send but the marker: one empty upload named done.
void UpdateSequenceTest::emptyFolder()
{
    for (const Firmware &file : sends.mid(0, 3))
        QVERIFY(QFile::remove(path(file.name)));
    Rig rig(folderUrl(), {});
    QCOMPARE(rig.tftp.firmwareFileList(), QStringList());

    checkRun(rig, runUpdate(rig.tftp, rig.lines),
             { QStringLiteral("Starting the update"), QStringLiteral("QUrl(\"done\")"), QStringLiteral("\"\""),
               QStringLiteral("\"done\""), QStringLiteral("true") },
             { upload(QStringLiteral("done"), "octet", "0", {}) }, QStringLiteral("No Error"));
    QCOMPARE(rig.tftp.fileSize(), 0);
    QCOMPARE(rig.tftp.fileProgress(), 4);
}

void UpdateSequenceTest::run_data()
{
    QTest::addColumn<int>("refused");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<QString>("status");

    const QString t = QStringLiteral("true");
    const QString f = QStringLiteral("false");
    QTest::newRow("all delivered") << -1 << QByteArray() << allDelivered << QStringLiteral("No Error");
    // The device may refuse an application image it already runs.
    QTest::newRow("application image refused")
            << 0 << ScriptedTftpServer::error(6, "File already exists") << allDelivered << QStringLiteral("No Error");
    QTest::newRow("second file refused") << 1 << ScriptedTftpServer::error(2, "Access violation") << QStringList{ t, f }
                                         << QStringLiteral("Protocol Error: 2 Access violation");
    QTest::newRow("second file, wrong ACK") << 1 << ScriptedTftpServer::ack(7) << QStringList{ t, f }
                                            << QStringLiteral("Error on incoming packet number 7 vs expected 0");
    QTest::newRow("marker refused") << 3 << ScriptedTftpServer::error(3, "Disk full") << QStringList{ t, t, t, f }
                                    << QStringLiteral("Protocol Error: 3 Disk full");
}

// The files go in list order, then the marker; a failure ends the run on the
// spot with its own text. Start again begins with the first file, wherever
// the last run stopped.
void UpdateSequenceTest::run()
{
    QFETCH(int, refused);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, results);
    QFETCH(QString, status);
    QList<int> datagrams = fullRun.mid(0, results.size());
    if (refused >= 0)
        datagrams[refused] = 1; // the request alone
    Rig rig(folderUrl(), datagrams + fullRun);
    if (refused >= 0)
        rig.server.script(rig.requests[refused], Action::Send, reply);

    QStringList uploads = runUploads(int(results.size()), refused);
    checkRun(rig, runUpdate(rig.tftp, rig.lines), runLines(results), uploads, status);
    if (QTest::currentTestFailed())
        return;

    uploads += runUploads(4);
    checkRun(rig, runUpdate(rig.tftp, rig.lines), runLines(allDelivered), uploads, QStringLiteral("No Error"));
}

void UpdateSequenceTest::vanishedFile_data()
{
    QTest::addColumn<int>("vanished");
    QTest::addColumn<bool>("byFolder");
    QTest::addColumn<QString>("reason");

    const QString missing = QStringLiteral("No such file or directory");
    QTest::newRow("first, deleted before Start") << 0 << false << missing;
    QTest::newRow("second, deleted during the first") << 1 << false << missing;
    QTest::newRow("third, a folder now") << 2 << true << QStringLiteral("file to open is a directory");
}

// A listed file that cannot be read when its turn comes ends the run, naming
// the file; nothing after it is sent.
void UpdateSequenceTest::vanishedFile()
{
    QFETCH(int, vanished);
    QFETCH(bool, byFolder);
    QFETCH(QString, reason);
    const QString victim = path(sends[vanished].name);
    bool gone = false;
    const auto remove = [&] { gone = QFile::remove(victim) && (!byFolder || QDir().mkdir(victim)); };
    Rig rig(folderUrl(), fullRun);
    if (vanished == 0)
        remove();
    else
        whenSending(rig.tftp, sends[vanished - 1].name, remove);

    const QList<qsizetype> completions = runUpdate(rig.tftp, rig.lines);

    QVERIFY(gone);
    const QStringList lines = runLines(QStringList(vanished, QStringLiteral("true")));
    checkRun(rig, completions, lines + sendFileLines(QUrl::fromLocalFile(victim)), runUploads(vanished),
             QStringLiteral("Could not open file %1: %2").arg(sends[vanished].name, reason));
}

// Only the URL "done" is the marker: a local file called done is read from
// disk and sent with its content. Sent directly, it stands for the current
// entry, and the run goes on with the next.
void UpdateSequenceTest::localFileNamedDone()
{
    const Firmware done{ QStringLiteral("done"), testImage(700) };
    QVERIFY(writeFile(path(done.name), done.content));
    Rig rig(folderUrl(), QList<int>{ datagramsOf(done) } + fullRun.mid(1));
    const QUrl url = QUrl::fromLocalFile(path(done.name));
    bool started = false;

    const auto send = [&] { started = rig.tftp.sendFile(url); };
    const QList<qsizetype> completions = runUntilCompleted(rig.tftp, rig.lines, send);

    QVERIFY(started);
    checkRun(rig, completions, sendFileLines(url) << QStringLiteral("true") << runLines(allDelivered).mid(5),
             QStringList{ upload(done) } + runUploads(4).mid(1), QStringLiteral("No Error"));
}

void UpdateSequenceTest::refusedWhileRunning_data()
{
    QTest::addColumn<QString>("sending");
    QTest::newRow("first file") << sends[0].name;
    QTest::newRow("marker") << QStringLiteral("done");
}

// Start, sending a file and choosing a folder all wait until the run is over:
// none starts a second transfer or changes what is being sent.
void UpdateSequenceTest::refusedWhileRunning()
{
    QFETCH(QString, sending);
    QTemporaryDir otherFolder;
    QVERIFY(writeFile(otherFolder.filePath(QStringLiteral("7420-v9.bin")), "other"));
    std::optional<bool> sent;
    QStringList listedMeanwhile;
    Rig rig(folderUrl(), fullRun);
    const QStringList listed = rig.tftp.firmwareFileList();
    const QStringList bypassable = QTftp::k_bypassableFiles;
    whenSending(rig.tftp, sending, [&] {
        rig.tftp.startUpdate();
        sent = rig.tftp.sendFile(QUrl::fromLocalFile(path(sends[2].name)));
        rig.tftp.buildFileList(QUrl::fromLocalFile(otherFolder.path()));
        listedMeanwhile = rig.tftp.firmwareFileList();
    });
    QTest::ignoreMessage(QtWarningMsg, "Update not started: a transfer is running");
    QTest::ignoreMessage(QtWarningMsg, "File not sent: a transfer is running");
    QTest::ignoreMessage(QtWarningMsg, "File list not rebuilt while an update runs");

    checkRun(rig, runUpdate(rig.tftp, rig.lines), runLines(allDelivered), runUploads(4), QStringLiteral("No Error"));
    QCOMPARE(sent, std::optional<bool>(false));
    QCOMPARE(listedMeanwhile, listed);
    QCOMPARE(rig.tftp.firmwareFileList(), listed);
    QCOMPARE(QTftp::k_bypassableFiles, bypassable);
}

void UpdateSequenceTest::tftpdRun_data()
{
    QTest::addColumn<bool>("secondLocked");
    QTest::newRow("all delivered") << false;
    // tftpd-hpa overwrites only files that anyone may write.
    QTest::newRow("second file refused") << true;
}

// The same run against a real server, which stores exactly what was sent.
void UpdateSequenceTest::tftpdRun()
{
    QFETCH(bool, secondLocked);
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    TftpdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    if (secondLocked)
        QVERIFY(server.writeFile(sends[1].name, "old"));
    QTftp tftp;
    tftp.setLocalAddress(QStringLiteral("127.0.0.1"));
    tftp.setRemoteAddress(QStringLiteral("127.0.0.1"));
    tftp.setRemotePort(server.port());
    DebugLines lines;
    tftp.buildFileList(folderUrl());
    lines.take();

    const QList<qsizetype> completions = runUpdate(tftp, lines);

    const QStringList expectedLines =
            runLines(secondLocked ? QStringList{ QStringLiteral("true"), QStringLiteral("false") } : allDelivered);
    QCOMPARE(lines.take(), expectedLines);
    QCOMPARE(completions, QList<qsizetype>{ expectedLines.size() });
    QCOMPARE(tftp.errorString(), secondLocked ? QStringLiteral("Protocol Error: 0 Permission denied")
                                              : QStringLiteral("No Error"));
    QStringList stored;
    for (const Firmware &file : sends.mid(0, secondLocked ? 2 : 4)) {
        stored.append(file.name);
        const QByteArray expected = secondLocked && file.name == sends[1].name ? "old" : file.content;
        QVERIFY2(server.readFile(file.name) == expected, qPrintable(file.name));
    }
    std::sort(stored.begin(), stored.end());
    QCOMPARE(QDir(server.rootPath()).entryList(QDir::Files, QDir::Name), stored);
}

QTEST_GUILESS_MAIN(UpdateSequenceTest)
#include "tst_updatesequence.moc"
