#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>

#include <chrono>

struct StandInDevice
{
    std::chrono::milliseconds turnaround{ 0 }; // before each ACK of data: writing it to flash
    std::chrono::milliseconds answerDelay{ 0 }; // before answering each request: erasing the flash
    QString refusedName; // a write of this file is answered with ERROR refusalCode refusalText
    quint16 refusalCode = 0;
    QByteArray refusalText;
};

// Transmitters played on 127.0.0.1 ports, any number of them, by one event
// loop on a thread of its own, so that the caller may block meanwhile (in a
// QProcess wait, say). Each device answers a write request from a port of its
// own, with an OACK echoing the tsize, blksize and windowsize it accepts, or
// ACK 0 when the request had none; it stores the file and serves it back to
// read requests, lock-step in 512-byte blocks.
class DeviceStandIn
{
public:
    struct File // stored whole: on record before its last ACK goes out
    {
        quint16 port = 0; // the device's
        QString name;
        QByteArray bytes;
    };

    DeviceStandIn();
    ~DeviceStandIn();
    Q_DISABLE_COPY_MOVE(DeviceStandIn)

    // Opens a device's port; 0 when none could be opened.
    quint16 addDevice(const StandInDevice &device = {});
    // Every file stored since the last clearFiles(), in the order stored.
    QList<File> files() const;
    void clearFiles();

private:
    QThread m_thread;
    QObject *m_context; // lives on m_thread: parent of every socket and transfer
    mutable QMutex m_lock;
    QList<File> m_files;
};
