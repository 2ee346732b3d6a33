#include "app/swtxupdate/firmwareplan.h"

#include "controller/qtftp.h"

#include <QFileInfo>
#include <QUrl>

QList<FirmwareFile> firmwarePlan(QTftp &tftp, const QString &folder)
{
    tftp.buildFileList(QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath()));
    QList<FirmwareFile> files;
    const QStringList urls = tftp.firmwareFileList();
    for (const QString &urlText : urls) {
        // Read back exactly as the controller does when it sends the file.
        const QUrl url(urlText, QUrl::TolerantMode);
        FirmwareFile file;
        file.name = url.fileName();
        file.size = QFileInfo(url.toLocalFile()).size();
        for (const QRegularExpression &pattern : QTftp::k_swAppFileRegExps)
            file.applicationImage = file.applicationImage || pattern.match(file.name).hasMatch();
        files.append(file);
    }
    return files;
}

FirmwareFile doneMarker()
{
    return { QStringLiteral("done"), 0, false };
}
