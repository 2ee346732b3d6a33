#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <mutex>
#include <thread>

class QNetworkDatagram;
class QObject;
class QThread;

struct StandInDevice
{
    std::chrono::milliseconds turnaround{ 0 }; // before each ACK of data: writing it to flash
    std::chrono::milliseconds answerDelay{ 0 }; // before answering each request: erasing the flash
    // A write of this file is answered with ERROR refusalCode refusalText in
    // place of the answer to its request, or with refusedBlock set, of the ACK
    // of that block.
    QString refusedName;
    quint16 refusalCode = 0;
    QByteArray refusalText;
    quint16 refusedBlock = 0;
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

    explicit DeviceStandIn(const QList<StandInDevice> &devices);
    ~DeviceStandIn();
    Q_DISABLE_COPY_MOVE(DeviceStandIn)

    // The devices' ports, in the order given; 0 for one that could not be
    // opened.
    QList<quint16> ports() const { return m_ports; }
    // Every file stored since the last clearFiles(), in the order stored.
    QList<File> files() const;
    // What the device on port last stored under name; null when nothing.
    QByteArray file(quint16 port, const QString &name) const;
    void clearFiles();

private:
    void answer(const StandInDevice &device, quint16 port, const QNetworkDatagram &request, QObject *context);

    std::thread m_thread;
    QThread *m_loopThread = nullptr; // m_thread as Qt knows it, to end its event loop
    QList<quint16> m_ports;
    mutable std::mutex m_lock;
    QList<File> m_files;
};
