#pragma once

#include "bench/upload.h"

#include <QList>
#include <QStringList>

struct PeerStartup;
struct WindowRun;
class TftpdProcess;

// The counted uploads of one client with one image.
struct Series
{
    Client client = Client::Ours;
    qsizetype imageSize = 0;
    QList<Upload> uploads;
};

// One image size: a series for each client, in the order ours, the tftp-hpa
// client, curl.
using SizeResults = QList<Series>;

// Markdown on standard output.
void printHeader(const TftpdProcess &server);
void printPeers(const QList<PeerStartup> &peers);
void printSummary(const QString &loadAtStart, const QList<SizeResults> &results, const WindowRun *window,
                  int rounds);
void printSingleUpload(qsizetype imageSize, const Upload &upload);
void printFailures(const QStringList &failures);

QString loadAverage();
