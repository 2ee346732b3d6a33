#include "controller/qtftp.h"

#include "controller/identity.h"
#include "controller/statustext.h"
#include "tftp/tftppacket.h"

#include <QDebug>

QTftp::QTftp(QObject *parent)
    : QObject(parent)
    , m_errorString(QStringLiteral("Open a folder to begin"))
{
    loadNetworkInterfaces();
    connect(&m_engine, &UpdateEngine::fileStarted, this, &QTftp::fileStarted);
    connect(&m_engine, &UpdateEngine::uploadBound, this, [this](quint16 localPort, bool bound) {
        setLocalPort(localPort);
        if (bound)
            setStatus(sendingFileText(m_engine.plan().files().at(m_runningFile).name));
    });
    connect(&m_engine, &UpdateEngine::progressed, this, &QTftp::showProgress);
    connect(&m_engine, &UpdateEngine::fileEnded, this, &QTftp::futureFinishHandler);
    connect(&m_engine, &UpdateEngine::finished, this, &QTftp::updateCompleted);
}

QString QTftp::updaterVersion() const
{
    return QString::fromLatin1(Identity::version);
}

void QTftp::setRemoteAddress(QString remoteAddress)
{
    if (m_remoteAddress == remoteAddress)
        return;
    m_remoteAddress = remoteAddress;
    emit remoteAddressChanged(m_remoteAddress);
}

void QTftp::setRemotePort(unsigned short remotePort)
{
    if (m_remotePort == remotePort)
        return;
    m_remotePort = remotePort;
    emit remotePortChanged(m_remotePort);
}

void QTftp::setLocalAddress(QString localAddress)
{
    if (m_localAddress == localAddress)
        return;
    m_localAddress = localAddress;
    emit localAddressChanged(m_localAddress);
}

void QTftp::setLocalPort(unsigned short localPort)
{
    if (m_localPort == localPort)
        return;
    m_localPort = localPort;
    emit localPortChanged(m_localPort);
}

void QTftp::setIfsList(QList<QString> ifsList)
{
    if (m_ifsList == ifsList)
        return;
    m_ifsList = ifsList;
    emit ifsListChanged(m_ifsList);
}

void QTftp::startUpdate()
{
    if (m_engine.isRunning()) {
        qWarning() << "Update not started: an update is running";
        return;
    }
    qDebug() << "Starting the update";
    QList<QUrl> urls;
    for (const QString &entry : std::as_const(fileList))
        urls.append(QUrl(entry, QUrl::TolerantMode));
    sendFrom(0, urls);
}

// Sends fileUrl in place of the current entry, then the entries after it
// and the marker, as a run that had come to that entry would.
bool QTftp::sendFile(QUrl fileUrl)
{
    if (m_engine.isRunning()) {
        qWarning() << "File not sent: an update is running";
        return false;
    }
    // Only the URL whose whole text is the marker's name is the marker: a
    // file called done in a folder is an ordinary file.
    if (fileUrl.toString() == UpdatePlan::markerName)
        return sendFrom(int(fileList.size()), {});
    QList<QUrl> urls{ fileUrl };
    for (qsizetype entry = currentFileIndex + 1; entry < fileList.size(); ++entry)
        urls.append(QUrl(fileList.at(entry), QUrl::TolerantMode));
    return sendFrom(currentFileIndex, urls);
}

// Every image is read here, on the window's thread, before the first
// transfer; the engine sends them on the thread pool.
bool QTftp::sendFrom(int first, const QList<QUrl> &urls)
{
    QList<UpdatePlan::Source> sources;
    for (const QUrl &url : urls)
        sources.append({ url.fileName(), url.toLocalFile(), k_bypassableFiles.contains(url.fileName().toLower()) });
    m_firstIndex = first;
    m_sentUrls = urls;
    m_sentUrls.append(QUrl(UpdatePlan::markerName, QUrl::TolerantMode));
    TransferSettings settings;
    settings.device = { m_localAddress, m_remoteAddress, m_remotePort };
    m_engine.start(UpdatePlan::read(sources, Tftp::MaxImageSize, false), settings);
    return m_engine.isRunning();
}

void QTftp::fileStarted(int index)
{
    m_runningFile = index;
    currentFileIndex = m_firstIndex + index;
    const QUrl &url = m_sentUrls.at(index);
    qDebug() << url;
    qDebug() << url.toLocalFile();
    qDebug() << url.fileName();
}

// The bar runs from 0 to the file's size, and shows the DATA bytes sent,
// headers included.
void QTftp::showProgress(qint64 bytesSent)
{
    if (bytesSent == 0) {
        m_fileSize = int(m_engine.plan().files().at(m_runningFile).size);
        emit fileSizeChanged(m_fileSize);
    }
    m_fileProgress = int(bytesSent);
    emit fileProgressChanged(m_fileProgress);
}

void QTftp::futureFinishHandler()
{
    const FileReport &report = m_engine.reports().constLast();
    qDebug() << report.delivered();
    setStatus(report.status);
}

void QTftp::setStatus(const QString &text)
{
    m_errorString = text;
    emit errorStringChanged(m_errorString);
}
