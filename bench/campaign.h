#pragma once

#include "tests/support/tftpdprocess.h"

#include <QList>
#include <QString>
#include <QStringList>

class Clients;

struct CampaignSetup
{
    int uploads = 100; // per server and link
    QList<int> servers; // TftpdProcess::Server values
};

// Resilient mode (--retries 5 --timeout 300) as a new user would try it:
// swtxupdate uploads to each server through the relay at 5 % loss, and at 5 %
// loss with 1 % duplication and 5 % reordering. Prints how many uploads were
// delivered, the failures by status, and false successes (reported delivered
// while the stored bytes differ); returns the false successes and the runs
// that did not end.
QStringList runCampaign(const CampaignSetup &setup, const Clients &clients, const QString &workPath);
