#pragma once

#include "app/swtxupdate/devicetarget.h"
#include "app/swtxupdate/firmwareplan.h"
#include "controller/qtftp.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QObject>

// One file's transfer to one device, as the controller reported it.
struct FileTransfer
{
    int index = 0; // 1-based position in the run, the marker included
    QString name;
    qint64 size = 0;
    int progress = 0; // the controller's count, DATA headers included
    QString status;
    bool delivered = false;
    QElapsedTimer clock;
    qint64 ms = 0;

    // The payload in progress: every DATA packet carries a 4-byte header and
    // up to 512 bytes.
    qint64 sentBytes() const { return progress - 4 * ((qint64(progress) + 515) / 516); }
};

// Updates one device through a controller of its own, exactly as the window
// does, and follows each file from the controller's status texts: "Sending
// file <name>" starts one, the next text ends it.
class DeviceUpdate : public QObject
{
    Q_OBJECT

public:
    DeviceUpdate(const DeviceTarget &target, const QString &localAddress, Tftp::TransferPolicy policy,
                 const QString &folder, QObject *parent = nullptr);

    // Looks the device's name up once, without blocking, then starts the
    // update; finished may follow at once.
    void start();
    // Ends the update within a fraction of a second; finished follows.
    void interrupt();

    QString label() const { return m_target.label; }
    QString localEndpoint() const;
    int fileCount() const { return int(m_plan.size()); }
    int deliveredCount() const { return m_delivered; }
    qint64 bytesSent() const { return m_bytesSent; }
    qint64 elapsedMs() const;
    bool isRunning() const { return m_clock.isValid() && !m_finished; }
    bool isFinished() const { return m_finished; }
    bool fileRunning() const { return m_fileOpen; }
    bool succeeded() const { return m_finished && !m_failed && m_delivered == fileCount(); }
    bool wasInterrupted() const { return m_interrupted && !succeeded(); }
    // Whether a stop left the name lookup running in a thread of Qt's.
    bool lookupAbandoned() const { return m_lookupAbandoned; }
    const FileTransfer &currentFile() const { return m_file; }
    QString status() const;

signals:
    void fileStarted(const FileTransfer &file);
    void fileProgressed(const FileTransfer &file);
    void fileFinished(const FileTransfer &file);
    void finished();

private:
    void onHostLookedUp(const QHostInfo &host);
    void onStatus(const QString &text);
    void onCompleted();
    // Ends the update before its first transfer, with status as the first file's.
    void endBeforeFirstFile(const QString &status);
    void openFile(const QString &name);
    void closeFile(const QString &status);

    QTftp m_tftp;
    DeviceTarget m_target;
    QString m_localAddress;
    int m_lookupId = -1; // while the device's name is looked up
    bool m_updateStarted = false;
    bool m_lookupAbandoned = false;
    QList<FirmwareFile> m_plan;
    FileTransfer m_file;
    bool m_fileOpen = false;
    int m_delivered = 0;
    qint64 m_bytesSent = 0;
    bool m_failed = false;
    bool m_interrupted = false;
    bool m_finished = false;
    QElapsedTimer m_clock;
    qint64 m_elapsedMs = 0; // once finished
};
