#pragma once

#include "controller/filereport.h"
#include "controller/updateplan.h"
#include "tftp/transferrunner.h"

#include <atomic>

// What every transfer of an update runs with.
struct TransferSettings
{
    Tftp::Endpoints device;
    Tftp::TransferPolicy policy; // the window's strict lock-step unless set
    Tftp::TransferOptions options; // asked for only when set
    bool verify = false; // read each image back and compare it before the next file
};

// Sends one planned file to the device on the calling thread, blocking it:
// the upload and, when asked, the read-back of what the device stored. The
// callbacks follow the upload only.
FileReport transferFile(const PlannedFile &file, const TransferSettings &settings,
                        const std::atomic<bool> &stopRequested, const Tftp::TransferRunner::Callbacks &callbacks);
