#include "app/swtxupdate/updatelog.h"

#include "app/swtxupdate/deviceupdate.h"
#include "app/swtxupdate/filelisting.h"
#include "app/swtxupdate/messages.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>

namespace {

QString outcomeName(FileReport::Outcome outcome)
{
    switch (outcome) {
    case FileReport::Delivered:
        return QStringLiteral("delivered");
    case FileReport::Bypassed:
        return QStringLiteral("bypassed");
    case FileReport::Failed:
        return QStringLiteral("failed");
    case FileReport::Stopped:
        return QStringLiteral("stopped");
    }
    return {};
}

} // namespace

UpdateLog::UpdateLog(const QString &path, QObject *parent)
    : QObject(parent)
    , m_file(path)
{
}

bool UpdateLog::open()
{
    // A pipe or a device cannot seek to its end, and need not.
    const bool regularFile = QFileInfo(m_file.fileName()).isFile();
    return m_file.open(regularFile ? QIODevice::WriteOnly | QIODevice::Append : QIODevice::WriteOnly);
}

void UpdateLog::follow(const QList<DeviceUpdate *> &devices)
{
    for (const DeviceUpdate *device : devices) {
        connect(device, &DeviceUpdate::fileFinished, this,
                [this, device](const FileTransfer &file) { writeFileRecord(*device, file); });
        connect(device, &DeviceUpdate::finished, this, [this, device] { writeDeviceRecord(*device); });
    }
}

void UpdateLog::writeFileRecord(const DeviceUpdate &device, const FileTransfer &file)
{
    const FileReport &report = file.report;
    write({ { QStringLiteral("device"), device.label() },
            { QStringLiteral("local"), device.localEndpoint(file.localPort) },
            { QStringLiteral("file"), report.name },
            { QStringLiteral("kind"), kindName(file.file) },
            { QStringLiteral("size"), file.report.size },
            { QStringLiteral("sha256"),
              report.sha256.isEmpty() ? QJsonValue() : QString::fromLatin1(report.sha256.toHex()) },
            { QStringLiteral("sent"), report.bytesSent },
            { QStringLiteral("blksize"), report.options.blockSize },
            { QStringLiteral("windowsize"), report.options.windowSize },
            { QStringLiteral("ms"), file.ms },
            { QStringLiteral("status"), file.status },
            { QStringLiteral("device_error"),
              report.deviceError ? QJsonObject{ { QStringLiteral("code"), report.deviceError->code },
                                                { QStringLiteral("text"), report.deviceError->text } }
                                 : QJsonValue() },
            { QStringLiteral("outcome"), outcomeName(report.outcome) },
            { QStringLiteral("verified"), report.verified },
            { QStringLiteral("result"), report.delivered() } });
}

void UpdateLog::writeDeviceRecord(const DeviceUpdate &device)
{
    write({ { QStringLiteral("device"), device.label() },
            { QStringLiteral("files"), device.fileCount() },
            { QStringLiteral("delivered"), device.deliveredCount() },
            { QStringLiteral("status"), device.status() },
            { QStringLiteral("result"), device.succeeded() } });
}

void UpdateLog::write(QJsonObject record)
{
    record.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    if ((m_file.write(line) == line.size() && m_file.flush()) || !m_intact)
        return;
    m_intact = false;
    printError(QStringLiteral("cannot write to the log %1: %2").arg(m_file.fileName(), m_file.errorString()));
}
