#include "controller/qtftp.h"

#include "controller/statustext.h"
#include "tftp/tftppacket.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <limits>

namespace {

// The end-of-update marker, an empty upload that names no local file.
const QString doneMarker = QStringLiteral("done");

// The progress bar counts DATA bytes, headers included, in an int.
constexpr qint64 largestShownImage = std::numeric_limits<int>::max() - 65535 * Tftp::DataHeaderSize;

} // namespace

QList<UpdateFile> QTftp::updateFiles() const
{
    QList<UpdateFile> files;
    for (const QString &entry : fileList)
        files.append(updateFileAt(QUrl(entry, QUrl::TolerantMode)));
    files.append(updateFileAt(QUrl(doneMarker, QUrl::TolerantMode)));
    return files;
}

UpdateFile QTftp::updateFileAt(const QUrl &url) const
{
    UpdateFile file;
    file.name = url.fileName();
    // Only the URL whose whole text is "done" is the end-of-update marker; a
    // file called done in the folder is an ordinary file.
    file.marker = url.toString() == doneMarker;
    if (!file.marker)
        file.path = url.toLocalFile();
    file.applicationImage = !file.marker
            && std::any_of(k_swAppFileRegExps.cbegin(), k_swAppFileRegExps.cend(),
                           [&file](const QRegularExpression &pattern) { return pattern.match(file.name).hasMatch(); });
    return file;
}

void QTftp::startUpdate()
{
    if (transferRunning()) {
        qWarning() << "Update not started: a transfer is running";
        return;
    }
    qDebug() << "Starting the update";
    m_stopRequested = false;
    currentFileIndex = 0;
    sendCurrentFile();
}

void QTftp::sendCurrentFile()
{
    bool started = true;
    if (currentFileIndex < fileList.size())
        started = sendFile(QUrl(fileList.at(currentFileIndex), QUrl::TolerantMode));
    else if (currentFileIndex == fileList.size())
        started = sendFile(QUrl(doneMarker, QUrl::TolerantMode));
    else
        endUpdate(true);

    if (!started)
        endUpdate(false);
}

bool QTftp::sendFile(QUrl fileUrl)
{
    if (transferRunning()) {
        qWarning() << "File not sent: a transfer is running";
        return false;
    }
    qDebug() << fileUrl;
    qDebug() << fileUrl.toLocalFile();
    qDebug() << fileUrl.fileName();

    const UpdateFile file = updateFileAt(fileUrl);
    if (m_updateObserver)
        m_updateObserver->fileStarted(currentFileIndex, file);
    QByteArray data;
    if (!file.marker && !readImage(fileUrl, &data))
        return false;

    m_transferRunning = true;
    futureWatcher.setFuture(QtConcurrent::run(&QTftp::transferFile, this, file.name, data,
                                              m_verifyAfterUpload && !file.marker, m_reportDigests));
    return true;
}

// Reads an image whole. One too large to send is refused from its size
// before any of it is read, and one that cannot be read whole is never sent
// in part. On false the status says why.
bool QTftp::readImage(const QUrl &url, QByteArray *data)
{
    FileReport unread;
    unread.name = url.fileName();
    unread.size = QFileInfo(url.toLocalFile()).size();
    const auto refuse = [this, &unread](const QString &status) {
        unread.status = status;
        setStatus(status);
        fileEnded(unread);
        return false;
    };

    QFile file(url.toLocalFile());
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("Could not open file %1: %2").arg(unread.name, file.errorString()));
    qint64 limit = 0;
    {
        const std::lock_guard lock(m_sharedWithTransfers);
        limit = qMin(Tftp::maxImageSize(m_transferOptions.blockSize.value_or(Tftp::BlockSize)), largestShownImage);
    }
    // A device file has no size to go by: it is read up to just past the limit.
    const qint64 size = file.isSequential() ? -1 : file.size();
    if (size > limit)
        return refuse(statusText({ Tftp::TransferResult::ImageTooLarge, size, limit }));
    *data = file.read(size < 0 ? limit + 1 : size);
    if (data->size() > limit)
        return refuse(statusText({ Tftp::TransferResult::ImageTooLarge, data->size(), limit }));
    if (file.error() != QFileDevice::NoError)
        return refuse(QStringLiteral("Could not read file %1: %2").arg(unread.name, file.errorString()));
    if (size >= 0 && data->size() != size) {
        return refuse(QStringLiteral("Could not read file %1: %2 of %3 bytes read")
                              .arg(unread.name)
                              .arg(data->size())
                              .arg(size));
    }
    return true;
}

void QTftp::futureFinishHandler()
{
    m_transferRunning = false;
    const bool delivered = futureWatcher.result();
    qDebug() << delivered;
    fileEnded(m_fileReport);
    // A stop between two files ends the update before the next one.
    if (!delivered || m_stopRequested) {
        endUpdate(false);
        return;
    }
    ++currentFileIndex;
    sendCurrentFile();
}

void QTftp::fileEnded(const FileReport &report)
{
    if (!m_updateObserver)
        return;
    FileReport numbered = report;
    numbered.index = currentFileIndex;
    m_updateObserver->fileEnded(numbered);
}

void QTftp::endUpdate(bool succeeded)
{
    if (m_updateObserver)
        m_updateObserver->updateEnded(succeeded);
    emit updateCompleted();
}
