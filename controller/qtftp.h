#pragma once

#include "controller/updateengine.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

// The window's controller: the window's face of the update engine. It keeps
// the endpoints, the interface list and the file list the window works
// with, and shows the engine's course in its properties. Everything the
// window needs is on the meta-object; the order of properties, signals,
// slots and invokable methods below is part of the QML interface.
class QTftp : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString errorString READ errorString NOTIFY errorStringChanged)
    Q_PROPERTY(QString remoteAddress READ remoteAddress WRITE setRemoteAddress NOTIFY remoteAddressChanged)
    Q_PROPERTY(unsigned short remotePort READ remotePort WRITE setRemotePort NOTIFY remotePortChanged)
    Q_PROPERTY(QString localAddress READ localAddress WRITE setLocalAddress NOTIFY localAddressChanged)
    Q_PROPERTY(unsigned short localPort READ localPort WRITE setLocalPort NOTIFY localPortChanged)
    Q_PROPERTY(QStringList ifsList READ ifsList WRITE setIfsList NOTIFY ifsListChanged)
    Q_PROPERTY(int fileSize READ fileSize NOTIFY fileSizeChanged)
    Q_PROPERTY(int fileProgress READ fileProgress NOTIFY fileProgressChanged)
    Q_PROPERTY(QString updaterVersion READ updaterVersion NOTIFY updaterVersionChanged)

public:
    explicit QTftp(QObject *parent = nullptr);

    QString errorString() const { return m_errorString; }
    QString remoteAddress() const { return m_remoteAddress; }
    unsigned short remotePort() const { return m_remotePort; }
    QString localAddress() const { return m_localAddress; }
    unsigned short localPort() const { return m_localPort; }
    QStringList ifsList() const { return m_ifsList; }
    int fileSize() const { return m_fileSize; }
    int fileProgress() const { return m_fileProgress; }
    QString updaterVersion() const;

    // Names of the application images seen since start-up, lower-cased: the
    // device may refuse one it already runs, which is not a failure.
    static QStringList k_bypassableFiles;

signals:
    void errorStringChanged(QString errorString);
    void remoteAddressChanged(QString remoteAddress);
    void remotePortChanged(unsigned short remotePort);
    void localAddressChanged(QString localAddress);
    void localPortChanged(unsigned short localPort);
    void ifsListChanged(QList<QString> ifsList);
    void updaterVersionChanged(QString updaterVersion);
    void fileSizeChanged(int fileSize);
    void fileProgressChanged(int fileProgress);
    void updateCompleted();

public slots:
    void setRemoteAddress(QString remoteAddress);
    void setRemotePort(unsigned short remotePort);
    void setLocalAddress(QString localAddress);
    void setLocalPort(unsigned short localPort);
    void setIfsList(QList<QString> ifsList);

private slots:
    void futureFinishHandler();

public:
    Q_INVOKABLE void buildFileList(QUrl filesFolder);
    Q_INVOKABLE void startUpdate();
    Q_INVOKABLE bool sendFile(QUrl fileUrl);
    Q_INVOKABLE QString loadNetoworkIf();
    Q_INVOKABLE QString loadNetworkAddr();
    Q_INVOKABLE void saveNetworkIf(QString ifName);
    Q_INVOKABLE void saveNetworkAddr(QString addr);
    Q_INVOKABLE int savedInterfaceIndex();

private:
    void loadNetworkInterfaces();
    // Sends urls from fileList's entry first on, then the "done" marker;
    // false when the update ended before any transfer.
    bool sendFrom(int first, const QList<QUrl> &urls);
    void fileStarted(int index);
    void showProgress(qint64 bytesSent);
    void setStatus(const QString &text);

    QString m_localAddress;
    QString m_remoteAddress;
    unsigned short m_localPort = 0;
    unsigned short m_remotePort = 69;
    QStringList m_ifsList;
    QStringList fileList;
    int currentFileIndex = 0;
    QString m_errorString;
    int m_fileSize = 1;
    int m_fileProgress = 0;

    int m_firstIndex = 0; // fileList's entry that the running update began with
    QList<QUrl> m_sentUrls; // the running update's files, the marker last
    int m_runningFile = 0; // the running update's file, in m_sentUrls
    // Last: destroyed first, it waits for a running transfer, whose
    // notifications go to the members above.
    UpdateEngine m_engine;
};
