#pragma once

#include "bench/clients.h"

#include <QList>
#include <QString>
#include <QStringList>

class TftpdProcess;

// A server to upload to, and whether it accepts RFC 7440 windows.
struct BenchServer
{
    QString name;
    const TftpdProcess *process = nullptr;
    bool acceptsWindows = false;
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
    QList<ClientCase> cases;
};

// Uploads an 8 MiB image with every case, over every link, to every server,
// interleaved over a number of rounds, and checks every stored file byte for
// byte. Prints the median wall times, each against its limit, and judges the
// targets; returns the failures.
QStringList compareLinkSpeeds(const LinkSpeedSetup &setup, const Clients &clients, const QString &workPath);
