#pragma once

#include "app/swtxupdate/devicetarget.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>

class InterruptNotifier;

// Looks the names of every device up at once, without blocking, and picks
// for each the address that a socket bound to the local address can reach:
// the one every transfer to that device goes to. Two devices that come to
// the same address and port are one transmitter.
class DeviceLookup : public QObject
{
    Q_OBJECT

public:
    // A device's address, or why it has none, in the status line's words.
    struct Result
    {
        QHostAddress address;
        QString failure;
    };

    DeviceLookup(const QList<DeviceTarget> &targets, const QString &localAddress, QObject *parent = nullptr);

    // Runs the lookups to their end, or until an interruption, which leaves
    // those still running to Qt's threads; false then.
    bool run(InterruptNotifier &interruption);
    // The program's normal end waits for Qt's lookup threads, which a dead
    // name server holds for many seconds: after an abandoned lookup, ends
    // the process at once with status, what was printed flushed.
    int exitStatus(int status) const;
    const QList<Result> &results() const { return m_results; }
    // Names the first two devices that are one transmitter; empty when none are.
    QString duplicate() const;

private:
    void lookedUp(int index, const QHostInfo &host);

    QList<DeviceTarget> m_targets;
    QHostAddress m_localAddress;
    QList<Result> m_results;
    QList<int> m_pendingIds;
    bool m_abandoned = false;
};
