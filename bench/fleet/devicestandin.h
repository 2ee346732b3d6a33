#pragma once

#include "bench/fleet/standintransfer.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QThread>

#include <chrono>

class QUdpSocket;

// Many devices in one process: a TFTP server on a number of loopback ports,
// one per device, that answers each DATA block of a write a fixed turnaround
// after it arrived (see StandInTransfer), and serves what each device
// received back to read requests at once (see StandInRead). Unlike
// tftpd-hpa, whose answers come at once and whose processes share the
// processors with the client, it makes a parallel update wait on the devices,
// as a real fleet does, for little processor time: every port and transfer is
// served by one event loop on a thread of its own, with a precise timer per
// transfer.
//
// Its methods are called from any thread but the stand-in's own.
class DeviceStandIn
{
public:
    explicit DeviceStandIn(std::chrono::milliseconds turnaround);
    ~DeviceStandIn();
    Q_DISABLE_COPY_MOVE(DeviceStandIn)

    // Opens count more device ports on 127.0.0.1 and returns them; a port
    // that could not be opened is left out.
    QList<quint16> openDevicePorts(int count);
    // The files of every write that has finished since the last call, in the
    // order they finished.
    QList<ReceivedFile> takeReceivedFiles();

private:
    void readRequests(QUdpSocket *socket);
    void record(const ReceivedFile &file);

    std::chrono::milliseconds m_turnaround;
    QThread m_thread;
    QObject *m_context; // lives on m_thread: parent of every socket and transfer
    QHash<QString, QByteArray> m_stored; // by device port and file name; used on m_thread only
    QMutex m_receivedLock;
    QList<ReceivedFile> m_received;
};
