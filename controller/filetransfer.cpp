#include "controller/filetransfer.h"

#include "controller/statustext.h"
#include "tftp/tftppacket.h"

namespace {

using Tftp::TransferResult;

FileReport::Outcome outcomeOf(const TransferResult &result)
{
    switch (result.outcome) {
    case TransferResult::Delivered:
        return FileReport::Delivered;
    case TransferResult::Bypassed:
        return FileReport::Bypassed;
    case TransferResult::Stopped:
        return FileReport::Stopped;
    default:
        return FileReport::Failed;
    }
}

// RFC 2347 lets a device refuse the options of a request with ERROR 8,
// before any data; a device that ignored them would have served it.
bool optionsRefused(const TransferResult &result, const Tftp::TransferOptions &asked, bool dataMoved)
{
    return asked.any() && !dataMoved && result.deviceError && result.deviceError->code == Tftp::OptionsRefused;
}

} // namespace

FileReport transferFile(const PlannedFile &file, const TransferSettings &settings,
                        const std::atomic<bool> &stopRequested, const Tftp::TransferRunner::Callbacks &callbacks)
{
    FileReport report;
    report.name = file.name;
    report.size = file.size;
    report.sha256 = file.sha256;

    Tftp::TransferOptions options = settings.options;
    const auto upload = [&] {
        return Tftp::TransferRunner(settings.device, settings.policy, options, stopRequested, callbacks)
                .put(file.name, file.bytes, file.kind == PlannedFile::ApplicationImage);
    };
    TransferResult sent = upload();
    if (optionsRefused(sent, options, sent.bytesSent > 0)) {
        options = {};
        sent = upload();
    }
    report.outcome = outcomeOf(sent);
    report.status = statusText(sent);
    report.bytesSent = sent.payloadBytesSent();
    report.options = sent.options;
    report.deviceError = sent.deviceError;

    // A device that does not linger after acknowledging the last block
    // cannot repeat that acknowledgement: when it is lost, the upload looks
    // failed though every block went out. What the device stored settles it,
    // when the last block carries bytes whose absence would show: an empty
    // one leaves a stored copy that looks whole either way.
    const bool lastReplyMissing = sent.outcome == TransferResult::TimedOut && sent.lastBlockSent(file.size)
            && file.size % sent.options.blockSize != 0;
    if (!settings.verify || file.kind == PlannedFile::Marker || !(sent.succeeded() || lastReplyMissing))
        return report;

    // A bypassed image is read back too: only the copy the device holds
    // shows whether it refused because it runs that image already.
    QByteArray stored;
    const auto download = [&] {
        stored.clear();
        return Tftp::TransferRunner(settings.device, settings.policy, options, stopRequested).get(file.name, &stored);
    };
    TransferResult readBack = download();
    if (optionsRefused(readBack, options, !stored.isEmpty())) {
        options = {};
        readBack = download();
    }
    const QString failure = verifyFailureText(readBack, stored, file.bytes);
    report.verified = failure.isEmpty();
    if (!report.verified) {
        report.outcome = readBack.outcome == TransferResult::Stopped ? FileReport::Stopped : FileReport::Failed;
        report.status = failure;
    } else if (report.outcome != FileReport::Bypassed) {
        report.outcome = FileReport::Delivered;
        report.status = statusText(TransferResult::Delivered);
    }
    return report;
}
