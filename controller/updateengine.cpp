#include "controller/updateengine.h"

#include <QElapsedTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// No one sees progress faster than a frame is painted.
constexpr qint64 progressIntervalMs = 16;

} // namespace

UpdateEngine::UpdateEngine(QObject *parent)
    : QObject(parent)
{
    connect(&m_futureWatcher, &QFutureWatcher<FileReport>::finished, this, &UpdateEngine::transferFinished);
}

UpdateEngine::~UpdateEngine()
{
    stop();
    m_futureWatcher.waitForFinished();
}

bool UpdateEngine::start(const UpdatePlan &plan, const TransferSettings &settings)
{
    if (m_running)
        return false;
    m_plan = plan;
    m_settings = settings;
    m_reports.clear();
    m_stopRequested = false;
    m_running = true;

    const qsizetype unsendable = m_plan.firstUnsendable();
    if (unsendable < 0) {
        m_index = 0;
        startFile();
        return true;
    }
    m_index = int(unsendable);
    const PlannedFile &file = m_plan.files().at(m_index);
    FileReport report;
    report.name = file.name;
    report.size = file.size;
    report.status = file.failure;
    emit fileStarted(m_index);
    endFile(report);
    return true;
}

void UpdateEngine::stop()
{
    m_stopRequested = true;
}

void UpdateEngine::startFile()
{
    emit fileStarted(m_index);
    m_futureWatcher.setFuture(QtConcurrent::run(&UpdateEngine::transfer, this, m_plan.files().at(m_index), m_settings));
}

void UpdateEngine::transferFinished()
{
    endFile(m_futureWatcher.result());
}

// A stop between two files ends the update before the next one.
void UpdateEngine::endFile(const FileReport &report)
{
    FileReport numbered = report;
    numbered.index = m_index;
    m_reports.append(numbered);
    emit fileEnded(numbered);
    const bool lastFile = m_index + 1 == m_plan.files().size();
    if (report.delivered() && !lastFile && !m_stopRequested) {
        ++m_index;
        startFile();
        return;
    }
    m_running = false;
    emit finished(report.delivered() && lastFile);
}

// On the transfer's thread. Only the arguments and the stop flag are read,
// and only signals leave.
FileReport UpdateEngine::transfer(const PlannedFile &file, const TransferSettings &settings)
{
    qint64 progressMade = -1; // none before the request
    qint64 progressShown = -1;
    QElapsedTimer sinceProgressShown;
    const auto showProgress = [&] {
        progressShown = progressMade;
        sinceProgressShown.start();
        emit progressed(progressShown);
    };
    Tftp::TransferRunner::Callbacks callbacks;
    callbacks.bound = [this](quint16 localPort, bool bound) { emit uploadBound(localPort, bound); };
    callbacks.requestSent = [&] {
        progressMade = 0;
        showProgress();
    };
    callbacks.progress = [&](qint64 bytesSent) {
        progressMade = bytesSent;
        if (sinceProgressShown.elapsed() >= progressIntervalMs)
            showProgress();
    };
    callbacks.accepted = [this](const Tftp::NegotiatedOptions &options) { emit optionsAccepted(options); };

    const FileReport report = transferFile(file, settings, m_stopRequested, callbacks);
    // The value a file ends with always shows.
    if (progressMade != progressShown)
        showProgress();
    return report;
}
