#include "sequencetest.h"
#include "tftpdprocess.h"

#include <QStandardPaths>
#include <QTemporaryDir>

#include <functional>

// An upload: the write request's fields and the bytes sent.
using Upload = std::pair<QString, QByteArray>;

namespace {

// A run's files in sending order: by pattern (the folder lists them the other
// way round), then the marker.
const QList<std::pair<QString, QByteArray>> sends{ { QStringLiteral("7422-v3.bin"), testImage(1000) },
                                                   { QStringLiteral("7421BL-v2.bin"), testImage(512) },
                                                   { QStringLiteral("7420WR-v1.bin"), testImage(1536) },
                                                   { QStringLiteral("done"), {} } };

// The first count uploads of a run, the refused one stopped at its request.
QList<Upload> runUploads(int count, int refused = -1)
{
    QList<Upload> uploads;
    for (int i = 0; i < count; ++i)
        uploads.append({ QStringLiteral("%1 octet tsize %2").arg(sends[i].first).arg(sends[i].second.size()),
                         i == refused ? QByteArray() : sends[i].second });
    return uploads;
}

QList<Upload> uploadsAt(const ScriptedTftpServer &server)
{
    QList<Upload> uploads;
    for (const ScriptedTftpServer::Datagram &datagram : server.received()) {
        if (datagram.bytes.startsWith(QByteArrayView("\0\2", 2)))
            uploads.append({ QString::fromUtf8(datagram.bytes.mid(2).chopped(1).replace('\0', ' ')), {} });
        else if (datagram.bytes.startsWith(QByteArrayView("\0\3", 2)) && !uploads.isEmpty())
            uploads.last().second += datagram.bytes.mid(4);
    }
    return uploads;
}

// The three lines sendFile logs for a URL.
QStringList sendFileLines(const QUrl &url)
{
    return { QStringLiteral("QUrl(\"%1\")").arg(url.toDisplayString()), u'"' + url.toLocalFile() + u'"',
             u'"' + url.fileName() + u'"' };
}

// Acts once, as soon as the named file's upload has begun.
template <typename Act>
void whenSending(QTftp &tftp, const QString &name, Act act)
{
    QObject::connect(&tftp, &QTftp::errorStringChanged, &tftp, [=, done = false](const QString &status) mutable {
        if (status == QStringLiteral("Sending file ") + name && !std::exchange(done, true))
            act();
    });
}

// A controller aimed at a server on loopback, with the folder's files listed.
struct Rig
{
    template <typename Server>
    Rig(const QUrl &folder, const Server &server)
    {
        pointAt(tftp, server);
        tftp.buildFileList(folder);
        lines.take();
    }

    // Runs start (Start by default) until the run ends; checks its debug
    // lines, one updateCompleted after the last of them, and the status.
    void check(const QStringList &expected, const QString &status = QStringLiteral("No Error"),
               const std::function<void()> &start = {})
    {
        const QList<qsizetype> completions =
                runUntilCompleted(tftp, lines, [&] { start ? start() : tftp.startUpdate(); });
        QCOMPARE(lines.take(), expected);
        QCOMPARE(completions, QList<qsizetype>{ expected.size() });
        QCOMPARE(tftp.errorString(), status);
    }

    QTftp tftp;
    DebugLines lines;
};

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
    void refusedWhileRunning();
    void tftpdRefusal();

private:
    QString path(const QString &name) const { return m_folder->filePath(name); }
    QUrl folderUrl() const { return QUrl::fromLocalFile(m_folder->path()); }

    // What a run logs that delivered the first files and, if failed, failed
    // on the next.
    QStringList runLines(int delivered, bool failed = false) const
    {
        QStringList lines{ QStringLiteral("Starting the update") };
        for (int i = 0; i < delivered + int(failed); ++i)
            lines << sendFileLines(i < 3 ? QUrl::fromLocalFile(path(sends[i].first)) : QUrl(QStringLiteral("done")))
                  << (i < delivered ? QStringLiteral("true") : QStringLiteral("false"));
        return lines;
    }

    std::optional<QTemporaryDir> m_folder;
};

// A folder with the three files and a near miss.
void UpdateSequenceTest::init()
{
    m_folder.emplace();
    QVERIFY(writeFile(path(QStringLiteral("7423-v1.bin")), "not firmware"));
    for (const auto &[name, content] : sends.mid(0, 3))
        QVERIFY(writeFile(path(name), content));
}

// Nothing to send but the marker: one empty upload named done.
void UpdateSequenceTest::emptyFolder()
{
    for (const auto &[name, content] : sends.mid(0, 3))
        QVERIFY(QFile::remove(path(name)));
    ScriptedTftpServer server;
    Rig rig(folderUrl(), server);
    QCOMPARE(rig.tftp.firmwareFileList(), QStringList());

    rig.check({ "Starting the update", "QUrl(\"done\")", "\"\"", "\"done\"", "true" });
    QCOMPARE(uploadsAt(server), runUploads(4).mid(3));
    QCOMPARE(rig.tftp.fileSize(), 0);
    QCOMPARE(rig.tftp.fileProgress(), 4);
}

void UpdateSequenceTest::run_data()
{
    QTest::addColumn<int>("refused"); // with an ERROR of this code and text
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("delivered");

    QTest::newRow("all delivered") << -1 << 0 << QByteArray() << 4;
    // The device may refuse an application image it already runs.
    QTest::newRow("application image refused") << 0 << 6 << QByteArray("File already exists") << 4;
    QTest::newRow("second file refused") << 1 << 2 << QByteArray("Access violation") << 1;
    QTest::newRow("marker refused") << 3 << 3 << QByteArray("Disk full") << 3;
}

// The files go in list order, then the marker; a failure ends the run on the
// spot with its own text. Start again begins with the first file, wherever
// the last run stopped.
void UpdateSequenceTest::run()
{
    QFETCH(int, refused);
    QFETCH(int, code);
    QFETCH(QByteArray, text);
    QFETCH(int, delivered);
    ScriptedTftpServer server;
    // The server numbers datagrams across uploads: each file takes a request
    // and its blocks, the last one short.
    int request = 0;
    for (int i = 0; i < refused; ++i)
        request += int(sends[i].second.size() / 512) + 2;
    if (refused >= 0)
        server.script(request, ScriptedTftpServer::Action::Send, ScriptedTftpServer::error(quint16(code), text));
    Rig rig(folderUrl(), server);

    const QList<Upload> uploads = runUploads(delivered < 4 ? delivered + 1 : 4, refused);
    rig.check(runLines(delivered, delivered < 4),
              delivered < 4 ? QStringLiteral("Protocol Error: %1 %2").arg(code).arg(QString::fromLatin1(text))
                            : QStringLiteral("No Error"));
    QCOMPARE(uploadsAt(server), uploads);

    rig.check(runLines(4));
    QCOMPARE(uploadsAt(server), uploads + runUploads(4));
}

void UpdateSequenceTest::vanishedFile_data()
{
    QTest::addColumn<int>("vanished");
    QTest::addColumn<QString>("reason");
    QTest::newRow("first, deleted before Start") << 0 << QStringLiteral("No such file or directory");
    QTest::newRow("third, a folder once the second goes") << 2 << QStringLiteral("file to open is a directory");
}

// A listed file that cannot be read when its turn comes ends the run, naming
// the file; nothing after it is sent.
void UpdateSequenceTest::vanishedFile()
{
    QFETCH(int, vanished);
    QFETCH(QString, reason);
    const QString victim = path(sends[vanished].first);
    const auto remove = [&] { QVERIFY(QFile::remove(victim) && (vanished == 0 || QDir().mkdir(victim))); };
    ScriptedTftpServer server;
    Rig rig(folderUrl(), server);
    if (vanished == 0)
        remove();
    else
        whenSending(rig.tftp, sends[vanished - 1].first, remove);

    rig.check(runLines(vanished) + sendFileLines(QUrl::fromLocalFile(victim)),
              QStringLiteral("Could not open file %1: %2").arg(sends[vanished].first, reason));
    QCOMPARE(uploadsAt(server), runUploads(vanished));
}

// Only the URL "done" is the marker: a local file called done is read from
// disk and sent with its content. Sent directly, it stands for the current
// entry, and the run goes on with the next.
void UpdateSequenceTest::localFileNamedDone()
{
    const QByteArray content = testImage(700);
    QVERIFY(writeFile(path(QStringLiteral("done")), content));
    ScriptedTftpServer server;
    Rig rig(folderUrl(), server);
    const QUrl url = QUrl::fromLocalFile(path(QStringLiteral("done")));
    bool started = false;

    rig.check(sendFileLines(url) << QStringLiteral("true") << runLines(4).mid(5), QStringLiteral("No Error"),
              [&] { started = rig.tftp.sendFile(url); });
    QVERIFY(started);
    const Upload fromDisk(QStringLiteral("done octet tsize 700"), content);
    QCOMPARE(uploadsAt(server), QList<Upload>{ fromDisk } + runUploads(4).mid(1));
}

// Start, sending a file and choosing a folder all wait until the run is over,
// tried while the first file and while the marker goes: none starts a second
// transfer or changes what is being sent.
void UpdateSequenceTest::refusedWhileRunning()
{
    QTemporaryDir otherFolder;
    QVERIFY(writeFile(otherFolder.filePath(QStringLiteral("7420-v9.bin")), "other"));
    ScriptedTftpServer server;
    Rig rig(folderUrl(), server);
    const QStringList listed = rig.tftp.firmwareFileList();
    const QStringList bypassable = QTftp::k_bypassableFiles;
    QList<bool> sent;
    for (const QString &sending : { sends[0].first, sends[3].first }) {
        whenSending(rig.tftp, sending, [&] {
            rig.tftp.startUpdate();
            sent << rig.tftp.sendFile(QUrl::fromLocalFile(path(sends[2].first)));
            rig.tftp.buildFileList(QUrl::fromLocalFile(otherFolder.path()));
        });
        QTest::ignoreMessage(QtWarningMsg, "Update not started: a transfer is running");
        QTest::ignoreMessage(QtWarningMsg, "File not sent: a transfer is running");
        QTest::ignoreMessage(QtWarningMsg, "File list not rebuilt while an update runs");
    }

    rig.check(runLines(4));
    QCOMPARE(uploadsAt(server), runUploads(4));
    QCOMPARE(sent, QList<bool>({ false, false }));
    QCOMPARE(rig.tftp.firmwareFileList(), listed);
    QCOMPARE(QTftp::k_bypassableFiles, bypassable);
}

// The same run against a real server, which refuses the second file: it
// overwrites only files that anyone may write. Runs that it takes whole are
// in tst_updatewindow and tst_soak.
void UpdateSequenceTest::tftpdRefusal()
{
    if (const QString reason = TftpdProcess::unavailableReason(); !reason.isEmpty())
        QSKIP(qPrintable(reason));
    TftpdProcess server;
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(server.writeFile(sends[1].first, "old"));
    Rig rig(folderUrl(), server);

    rig.check(runLines(1, true), QStringLiteral("Protocol Error: 0 Permission denied"));
    QCOMPARE(server.readFile(sends[0].first), sends[0].second);
    QCOMPARE(QDir(server.rootPath()).entryList(QDir::Files, QDir::Name),
             QStringList({ sends[1].first, sends[0].first }));
    QCOMPARE(server.readFile(sends[1].first), QByteArray("old"));
}

QTEST_GUILESS_MAIN(UpdateSequenceTest)
#include "tst_updatesequence.moc"
