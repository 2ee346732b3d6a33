#pragma once

#include "controller/updateobserver.h"
#include "tftp/transferrunner.h"

#include <QElapsedTimer>

class QTftp;

// The controller's side of one transfer, on the thread that runs it. It
// copies what the transfer needs when it starts, so that the window may go on
// editing the properties; it brings the runner's reports to the controller's
// properties on the controller's own thread; and it counts the transfer as
// running, so that the controller waits for it before going away.
class TransferSession
{
public:
    explicit TransferSession(QTftp &controller);
    ~TransferSession();
    TransferSession(const TransferSession &) = delete;
    TransferSession &operator=(const TransferSession &) = delete;

    Tftp::Endpoints endpoints() const { return m_endpoints; }
    Tftp::TransferPolicy policy() const { return m_policy; }
    Tftp::TransferOptions options() const { return m_options; }

    Tftp::TransferRunner::Callbacks uploadCallbacks(const QString &fileName, qint64 imageSize);
    Tftp::TransferRunner::Callbacks downloadCallbacks();
    // Shows how far the upload got (DATA bytes, headers included) and how
    // the file ended, and hands the report to the controller.
    bool finishFile(qint64 bytesSent, const FileReport &report);
    // Only a failed download has something to say.
    bool finishDownload(const Tftp::TransferResult &result);

private:
    void showLocalPort(quint16 localPort);
    void showStatus(const QString &text);
    void showProgress(qint64 bytesSent, bool always);

    QTftp &m_controller;
    Tftp::Endpoints m_endpoints;
    Tftp::TransferPolicy m_policy;
    Tftp::TransferOptions m_options;
    bool m_requestSent = false;
    qint64 m_progressShown = 0;
    QElapsedTimer m_sinceProgressShown;
};
