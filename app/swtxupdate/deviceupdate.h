#pragma once

#include "app/swtxupdate/commandline.h"
#include "app/swtxupdate/devicelookup.h"
#include "controller/updateengine.h"

#include <QElapsedTimer>
#include <QObject>

#include <optional>

// One file's transfer to one device: what it is and, once it has ended, its
// report.
struct FileTransfer
{
    int number = 0; // from 1, the marker included
    PlannedFile file;
    quint16 localPort = 0; // the upload's; a read-back binds another
    qint64 progress = 0; // DATA bytes sent, headers included
    QElapsedTimer clock;
    qint64 ms = 0;
    FileReport report; // once ended
    // How it ended in this program's words: a bypass also says what the
    // device answered, which the window does not show.
    QString status;
};

// Updates one device with the run's plan through an engine of its own, and
// follows each file through the engine's signals.
class DeviceUpdate : public QObject
{
    Q_OBJECT

public:
    DeviceUpdate(const DeviceTarget &target, const QString &localAddress, const UpdatePlan &plan,
                 const UpdateOptions &options, QObject *parent = nullptr);

    // Starts the update to the device's address, or reports that it has
    // none; finished may follow at once.
    void start(const DeviceLookup::Result &lookup);
    // Ends the update within a fraction of a second; finished follows.
    void interrupt();

    QString label() const { return m_target.label; }
    // The local address with port, for the log.
    QString localEndpoint(quint16 port) const;
    int fileCount() const { return int(m_plan.files().size()); }
    int deliveredCount() const { return m_delivered; }
    qint64 bytesSent() const { return m_bytesSent; }
    qint64 elapsedMs() const;
    bool isFinished() const { return m_finished; }
    bool fileRunning() const { return m_fileRunning; }
    bool succeeded() const { return m_finished && !m_failed && m_delivered == fileCount(); }
    bool wasInterrupted() const { return m_interrupted && !succeeded(); }
    const FileTransfer &currentFile() const { return m_file; }
    // The payload of the running file sent so far.
    qint64 currentPayloadSent() const;
    // What the device accepted for the running file, or the last one that
    // reached it; nothing before.
    std::optional<Tftp::NegotiatedOptions> acceptedOptions() const { return m_acceptedOptions; }
    QString status() const;
    // The files the device refused as images it runs already, each with its words.
    QStringList bypasses() const { return m_bypasses; }

signals:
    void fileBegan(const FileTransfer &file);
    void fileProgressed(const FileTransfer &file);
    void fileFinished(const FileTransfer &file);
    void finished();

private:
    void fileStarted(int index);
    void fileEnded(const FileReport &report);
    // Reports the file that would have gone next as ending with status,
    // when none did: the update ended before it began.
    void endUnstartedFile(FileReport::Outcome outcome, const QString &status);
    void finish();

    DeviceTarget m_target;
    QString m_localAddress;
    UpdatePlan m_plan;
    TransferSettings m_settings;
    FileTransfer m_file;
    bool m_fileRunning = false;
    int m_filesEnded = 0;
    int m_delivered = 0;
    qint64 m_bytesSent = 0;
    std::optional<Tftp::NegotiatedOptions> m_acceptedOptions;
    QStringList m_bypasses;
    bool m_failed = false;
    bool m_interrupted = false;
    bool m_finished = false;
    QElapsedTimer m_clock;
    qint64 m_elapsedMs = 0; // once finished
    UpdateEngine m_engine;
};
