#pragma once

#include "tftp/transferoptions.h"
#include "tftp/transferresult.h"

#include <QByteArray>
#include <QString>

#include <optional>

// How one file of an update went.
struct FileReport
{
    enum Outcome {
        Delivered, // acknowledged whole (and, when asked, read back identical)
        Bypassed, // refused as an application image the device runs already
        Failed, // status says why
        Stopped, // the update was stopped during this file
    };

    int index = 0; // its place in the update, from 0; the marker comes last
    QString name;
    qint64 size = 0; // the image's bytes as read, else the file's size on disk
    QByteArray sha256; // of the image as sent, when asked for; empty when it could not be read
    Outcome outcome = Failed;
    bool verified = false; // read back from the device and found identical
    QString status; // the status line's text at the file's end
    qint64 bytesSent = 0; // image bytes sent, each block counted once
    Tftp::NegotiatedOptions options; // what the device accepted
    // What the device answered the upload with, when it ended on an ERROR.
    std::optional<Tftp::DeviceError> deviceError;

    bool delivered() const { return outcome == Delivered || outcome == Bypassed; }
};
