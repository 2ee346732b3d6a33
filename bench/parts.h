#pragma once

#include <QList>
#include <QString>
#include <QStringList>

class TftpdProcess;

// The benchmark's parts. Each prints its figures and whether its targets were
// met, and returns its failures: an upload that failed or stored other bytes,
// never a figure.

// Link speed: an 8 MiB image uploaded with every client case, over every
// link, to every server, interleaved over a number of rounds; swtxupdate's
// wall time against its peers'.
struct BenchServer
{
    QString name;
    const TftpdProcess *process = nullptr;
    bool acceptsWindows = false; // RFC 7440
};

// The loopback interface itself, or the relay with a fixed delay each way.
struct Link
{
    bool relayed = false;
    double delayMs = 0;

    QString name() const;
    bool operator==(const Link &other) const { return relayed == other.relayed && delayMs == other.delayMs; }
};

struct LinkSpeedSetup
{
    int rounds = 3;
    QList<Link> links;
    QList<BenchServer> servers;
    QStringList cases; // of linkSpeedCases()
};

// swtxupdate's cases and its peers', the tftp-hpa client, curl and atftp, with
// the options each offers, in the report's order.
QStringList linkSpeedCases();
// What is missing of the peers' programs.
QStringList missingPeers();
QStringList compareLinkSpeeds(const LinkSpeedSetup &setup, const QString &workPath);

// The window: how late its GUI thread gets while it uploads the largest image
// to server.
QString measureWindow(const TftpdProcess &server, const QString &workPath);

// The fleet and memory: swtxupdate updating many devices at once, played by
// the device stand-in, which acknowledges each block a turnaround after it
// arrived, as a device writing flash does. Fleet: the wall time of an update
// of a 1 MiB image to each number of devices against one device's, and 8 with
// --verify. Memory: the peak resident memory of an update of a 30 MiB image
// (--fast) to 1, 8 and 32 devices against one device's.
struct FleetSetup
{
    int rounds = 3;
    int turnaroundMs = 2;
    QList<int> devices;
    bool fleet = true;
    bool memory = true;
};

QStringList runFleet(const FleetSetup &setup, const QString &workPath);

// Resilient mode (--retries 5 --timeout 300) as a new user would try it:
// swtxupdate updates devices, each a server of its own behind the relay, at
// 5 % loss, and at 5 % loss with 1 % duplication and 5 % reordering. Counts
// deliveries, failures by where they happened, and false successes (reported
// delivered while the stored bytes differ), which are its failures; to each
// server, uploadsPerLink updates per link.
QStringList runCampaign(int uploadsPerLink, const QString &workPath);
