#include "controller/qtftp.h"

#include <QDebug>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

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
        started = sendFile(QUrl(QStringLiteral("done"), QUrl::TolerantMode));
    else
        emit updateCompleted();

    if (!started)
        emit updateCompleted();
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

    QByteArray data;
    // Only the URL whose whole text is "done" is the end-of-update marker; a
    // file called done in the folder is an ordinary file.
    if (fileUrl.toString() != QStringLiteral("done")) {
        QFile file(fileUrl.toLocalFile());
        if (!file.open(QIODevice::ReadOnly)) {
            setStatus(QStringLiteral("Could not open file %1: %2").arg(fileUrl.fileName(), file.errorString()));
            return false;
        }
        data = file.readAll();
    }

    m_transferRunning = true;
    futureWatcher.setFuture(QtConcurrent::run(&QTftp::putByteArray, this, fileUrl.fileName(), data));
    return true;
}

void QTftp::futureFinishHandler()
{
    m_transferRunning = false;
    const bool delivered = futureWatcher.result();
    qDebug() << delivered;
    if (!delivered) {
        emit updateCompleted();
        return;
    }
    ++currentFileIndex;
    sendCurrentFile();
}
