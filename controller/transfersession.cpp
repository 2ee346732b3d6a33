#include "controller/transfersession.h"

#include "controller/qtftp.h"
#include "controller/statustext.h"

namespace {

// The window cannot show progress faster than it paints a frame.
constexpr qint64 progressIntervalMs = 16;

} // namespace

TransferSession::TransferSession(QTftp &controller)
    : m_controller(controller)
{
    ++controller.m_runningTransfers;
    const std::lock_guard lock(controller.m_sharedWithTransfers);
    m_endpoints = { controller.m_localAddress, controller.m_remoteAddress, controller.m_remotePort };
    m_policy = controller.m_transferPolicy;
    m_options = controller.m_transferOptions;
}

TransferSession::~TransferSession()
{
    --m_controller.m_runningTransfers;
}

Tftp::TransferRunner::Callbacks TransferSession::uploadCallbacks(const QString &fileName, qint64 imageSize)
{
    Tftp::TransferRunner::Callbacks callbacks;
    callbacks.bound = [this, fileName](quint16 localPort, bool bound) {
        showLocalPort(localPort);
        if (bound)
            showStatus(sendingFileText(fileName));
    };
    callbacks.requestSent = [this, imageSize] {
        m_requestSent = true;
        m_sinceProgressShown.start();
        QTftp &controller = m_controller;
        controller.applyOnControllerThread([&controller, size = int(imageSize)] {
            controller.m_fileSize = size;
            emit controller.fileSizeChanged(controller.m_fileSize);
            controller.m_fileProgress = 0;
            emit controller.fileProgressChanged(controller.m_fileProgress);
        });
    };
    callbacks.progress = [this](qint64 bytesSent) { showProgress(bytesSent, false); };
    callbacks.accepted = [this](const Tftp::NegotiatedOptions &options) {
        QTftp &controller = m_controller;
        controller.applyOnControllerThread([&controller, options] {
            if (controller.m_updateObserver)
                controller.m_updateObserver->optionsAccepted(options);
        });
    };
    return callbacks;
}

Tftp::TransferRunner::Callbacks TransferSession::downloadCallbacks()
{
    Tftp::TransferRunner::Callbacks callbacks;
    callbacks.bound = [this](quint16 localPort, bool) { showLocalPort(localPort); };
    return callbacks;
}

bool TransferSession::finishFile(qint64 bytesSent, const FileReport &report)
{
    if (m_requestSent)
        showProgress(bytesSent, true);
    showStatus(report.status);
    QTftp &controller = m_controller;
    controller.applyOnControllerThread([&controller, report] { controller.m_fileReport = report; });
    return report.delivered();
}

bool TransferSession::finishDownload(const Tftp::TransferResult &result)
{
    if (result.succeeded())
        return true;
    showStatus(statusText(result));
    return false;
}

// The posted updates outlive the session: they hold the controller, which
// waits for every transfer before it goes away.
void TransferSession::showLocalPort(quint16 localPort)
{
    QTftp &controller = m_controller;
    controller.applyOnControllerThread([&controller, localPort] { controller.setLocalPort(localPort); });
}

void TransferSession::showStatus(const QString &text)
{
    QTftp &controller = m_controller;
    controller.applyOnControllerThread([&controller, text] { controller.setStatus(text); });
}

// Sends the window at most one progress value per frame, and never a second
// one while the first waits to be shown; the value a run ends with always
// goes.
void TransferSession::showProgress(qint64 bytesSent, bool always)
{
    if (!always
        && (m_controller.m_progressUpdatePending || m_sinceProgressShown.elapsed() < progressIntervalMs))
        return;
    if (always && bytesSent == m_progressShown)
        return;
    m_progressShown = bytesSent;
    m_sinceProgressShown.start();
    m_controller.m_progressUpdatePending = true;
    QTftp &controller = m_controller;
    controller.applyOnControllerThread([&controller, progress = int(bytesSent)] {
        controller.m_progressUpdatePending = false;
        controller.m_fileProgress = progress;
        emit controller.fileProgressChanged(controller.m_fileProgress);
    });
}
