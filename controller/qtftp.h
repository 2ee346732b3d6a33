#pragma once

#include "controller/transferupdates.h"
#include "controller/updateobserver.h"
#include "tftp/transferoptions.h"
#include "tftp/transferpolicy.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <mutex>

class TransferSession;

// The update controller and TFTP client behind the window. Everything the
// window needs is on the meta-object; the order of properties, signals, slots
// and invokable methods below is part of the QML interface.
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
    ~QTftp() override;

    QString errorString() const { return m_errorString; }
    QString remoteAddress() const { return m_remoteAddress; }
    unsigned short remotePort() const { return m_remotePort; }
    QString localAddress() const { return m_localAddress; }
    unsigned short localPort() const { return m_localPort; }
    QStringList ifsList() const { return m_ifsList; }
    int fileSize() const { return m_fileSize; }
    int fileProgress() const { return m_fileProgress; }
    QString updaterVersion() const { return QStringLiteral("1.1.0.9.0.5"); }

    // Blocking transfers on the calling thread. The endpoints and the policy
    // are copied when a transfer starts; property updates reach the
    // controller on its own thread, in the order they were made.
    bool putByteArray(QString fileName, QByteArray data);
    bool getByteArray(QString fileName, QByteArray *data);

    QByteArray putFilePacket(QString fileName, QByteArray data) const;
    QByteArray getFilePacket(QString fileName) const;

    // The files the next update sends, in sending order, the "done" marker
    // last.
    QList<UpdateFile> updateFiles() const;

    // Opt-in resilience for scripted updates over lossy links; the window
    // keeps the default, strict lock-step. Applies from the next transfer.
    void setTransferPolicy(Tftp::TransferPolicy policy);
    // Opt-in block size and window to ask the device for; the window asks
    // for none. Applies from the next transfer.
    void setTransferOptions(Tftp::TransferOptions options);
    // Opt-in proof: each image the device acknowledged is read back and
    // compared before the next file goes out, so the "done" marker follows
    // only images that arrived whole. Applies from the next update.
    void setVerifyAfterUpload(bool verify);
    // Receives the update's typed notifications; none by default. Not owned.
    void setUpdateObserver(UpdateObserver *observer);
    // Whether the reports carry each image's SHA-256, which costs a pass
    // over the image beside its upload; off by default.
    void setReportDigests(bool digests);
    // Ends the running update as soon as its transfer notices, within a
    // fraction of a second; updateCompleted follows as after any failure.
    void stopUpdate();

    // Names of the application images seen since start-up, lower-cased: the
    // device may refuse one it already runs, which is not a failure. Guarded
    // by a lock of its own, as every controller of the process shares it.
    static QStringList k_bypassableFiles;
    static const QList<QRegularExpression> k_swAppFileRegExps;
    static const QList<QRegularExpression> k_filenamesRegExps;

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
    friend class TransferSession;

    void loadNetworkInterfaces();
    void fileListFromRegExps(QList<QRegularExpression> patterns, QList<QString> names, QUrl folder,
                             bool bypassable);
    static bool isBypassable(const QString &fileName);
    void sendCurrentFile();
    UpdateFile updateFileAt(const QUrl &url) const;
    bool readImage(const QUrl &url, QByteArray *data);
    bool transferFile(QString fileName, QByteArray data, bool verify, bool digest);
    void fileEnded(const FileReport &report);
    void endUpdate(bool succeeded);
    bool transferRunning() const { return m_transferRunning; }
    void setStatus(const QString &text);
    // Runs update on the controller's thread, after those posted before it.
    void applyOnControllerThread(TransferUpdates::Update update);

    QFutureWatcher<bool> futureWatcher;
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

    bool m_transferRunning = false;
    // Guards what the window may change while a transfer copies it.
    std::mutex m_sharedWithTransfers;
    Tftp::TransferPolicy m_transferPolicy;
    Tftp::TransferOptions m_transferOptions;
    bool m_verifyAfterUpload = false;
    UpdateObserver *m_updateObserver = nullptr;
    bool m_reportDigests = false;
    FileReport m_fileReport; // of the last transfer, handed over from its thread
    TransferUpdates m_updates{ this };
    std::atomic<bool> m_stopRequested = false;
    std::atomic<bool> m_destroying = false;
    std::atomic<int> m_runningTransfers = 0;
    std::atomic<bool> m_progressUpdatePending = false;
};
