#include "controller/qtftp.h"

#include "controller/statustext.h"
#include "controller/transfersession.h"
#include "tftp/tftppacket.h"

#include <QCryptographicHash>

#include <future>

namespace {

FileReport::Outcome outcomeOf(const Tftp::TransferResult &result)
{
    switch (result.outcome) {
    case Tftp::TransferResult::Delivered:
        return FileReport::Delivered;
    case Tftp::TransferResult::Bypassed:
        return FileReport::Bypassed;
    case Tftp::TransferResult::Stopped:
        return FileReport::Stopped;
    default:
        return FileReport::Failed;
    }
}

} // namespace

// Uploads one image with a write request and lock-step 512-byte blocks. By
// default one packet is in flight at a time, each reply is awaited once for
// up to ten seconds, nothing is sent twice, and the first irregular reply
// ends the run.
bool QTftp::putByteArray(QString fileName, QByteArray data)
{
    return transferFile(fileName, data, false, false);
}

// Downloads one file with a read request, acknowledging each block before
// the next is awaited. Only failures set the status text.
bool QTftp::getByteArray(QString fileName, QByteArray *data)
{
    TransferSession session(*this);
    Tftp::TransferRunner runner(session.endpoints(), session.policy(), session.options(), m_stopRequested,
                                session.downloadCallbacks());
    return session.finishDownload(runner.get(fileName, data));
}

// One file of an update, on a pool thread: the upload and, when asked, the
// read-back of what the device stored, compared with what was sent.
bool QTftp::transferFile(QString fileName, QByteArray data, bool verify, bool digest)
{
    TransferSession session(*this);
    FileReport report;
    report.name = fileName;
    report.size = data.size();
    // The digest takes a while for a large image: it is made beside the upload.
    std::future<QByteArray> sha256;
    if (digest)
        sha256 = std::async(std::launch::async, [&data] { return QCryptographicHash::hash(data, QCryptographicHash::Sha256); });

    Tftp::TransferRunner upload(session.endpoints(), session.policy(), session.options(), m_stopRequested,
                                session.uploadCallbacks(fileName, data.size()));
    const Tftp::TransferResult sent = upload.put(fileName, data, isBypassable(fileName));
    report.outcome = outcomeOf(sent);
    report.status = statusText(sent);
    report.bytesSent = sent.payloadBytesSent();
    report.options = sent.options;

    // A device that does not linger after acknowledging the last block
    // cannot repeat that acknowledgement: when it is lost, the upload looks
    // failed though every block went out. What the device stored settles it,
    // when the last block carries bytes whose absence would show: an empty
    // one leaves a stored copy that looks whole either way.
    const bool lastReplyMissing = sent.outcome == Tftp::TransferResult::TimedOut && sent.lastBlockSent(data.size())
            && data.size() % sent.options.blockSize != 0;
    if (verify && (sent.outcome == Tftp::TransferResult::Delivered || lastReplyMissing)) {
        QByteArray stored;
        Tftp::TransferRunner download(session.endpoints(), session.policy(), session.options(), m_stopRequested,
                                      session.downloadCallbacks());
        const Tftp::TransferResult readBack = download.get(fileName, &stored);
        const QString failure = verifyFailureText(readBack, stored, data);
        report.verified = failure.isEmpty();
        if (report.verified) {
            report.outcome = FileReport::Delivered;
            report.status = statusText(Tftp::TransferResult(Tftp::TransferResult::Delivered));
        } else {
            report.outcome = readBack.outcome == Tftp::TransferResult::Stopped ? FileReport::Stopped : FileReport::Failed;
            report.status = failure;
        }
    }
    if (sha256.valid())
        report.sha256 = sha256.get();
    return session.finishFile(sent.bytesSent, report);
}

QByteArray QTftp::putFilePacket(QString fileName, QByteArray data) const
{
    return Tftp::writeRequest(fileName, data.size());
}

QByteArray QTftp::getFilePacket(QString fileName) const
{
    return Tftp::readRequest(fileName);
}
