#pragma once

#include "controller/filereport.h"
#include "controller/filetransfer.h"
#include "controller/updateplan.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>

#include <atomic>

// Runs one update plan against one device: the files in order, each
// transfer on the global thread pool, each started once the one before has
// ended on the engine's own thread, until one fails. Both the window and the
// command-line program stand on it; many engines may share one plan.
//
// Signals marked "from the transfer's thread" are emitted there, and reach
// receivers on other threads queued, in the order they were emitted and
// before the file's end.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    explicit UpdateEngine(QObject *parent = nullptr);
    // Stops a running update and waits for its transfer.
    ~UpdateEngine() override;

    // Starts sending plan's files to the device; false, and nothing starts,
    // while an update runs. A file of the plan that cannot be sent ends the
    // update as that file's failure before anything goes out, and so before
    // start returns.
    bool start(const UpdatePlan &plan, const TransferSettings &settings);
    // Ends the update as soon as its transfer notices, within a fraction of a
    // second; fileEnded and finished follow as after any failure.
    void stop();

    bool isRunning() const { return m_running; }
    const UpdatePlan &plan() const { return m_plan; }
    // The reports of the files ended so far in this update, in order.
    const QList<FileReport> &reports() const { return m_reports; }

signals:
    void fileStarted(int index);
    // From the transfer's thread: the upload's socket was bound to
    // localPort, or failed to bind when bound is false (then port 0).
    void uploadBound(quint16 localPort, bool bound);
    // From the transfer's thread: the DATA bytes sent so far, headers
    // included, at most one value a frame; 0 once the request has gone out.
    void progressed(qint64 bytesSent);
    // From the transfer's thread: the device accepted these for the upload.
    void optionsAccepted(const Tftp::NegotiatedOptions &options);
    void fileEnded(const FileReport &report);
    // After the last file's end; succeeded when every file was delivered.
    void finished(bool succeeded);

private:
    void startFile();
    void transferFinished();
    void endFile(const FileReport &report);
    FileReport transfer(const PlannedFile &file, const TransferSettings &settings);

    UpdatePlan m_plan;
    TransferSettings m_settings;
    int m_index = 0;
    bool m_running = false;
    QList<FileReport> m_reports;
    std::atomic<bool> m_stopRequested = false;
    QFutureWatcher<FileReport> m_futureWatcher;
};
