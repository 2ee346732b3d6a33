#pragma once

#include "tftp/transferoptions.h"

#include <QByteArray>
#include <QString>

// One file of an update, in sending order.
struct UpdateFile
{
    QString name; // as the device gets it
    QString path; // on this machine; empty for the "done" marker
    bool applicationImage = false; // the device may refuse one it runs already
    bool marker = false; // the empty file that tells the device the update is complete
};

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
    QByteArray sha256; // of the image as sent, when asked for; empty when the file could not be read
    Outcome outcome = Failed;
    bool verified = false; // read back from the device and found identical
    QString status; // the status line's text at the file's end
    qint64 bytesSent = 0; // image bytes sent, each block counted once
    Tftp::NegotiatedOptions options; // what the device accepted

    bool delivered() const { return outcome == Delivered || outcome == Bypassed; }
};

// Typed notifications of an update's course, delivered on the controller's
// thread, for programs that drive the controller: they must never have to
// read a status text. They are plain C++, apart from the meta-object.
class UpdateObserver
{
public:
    virtual ~UpdateObserver() = default;

    virtual void fileStarted(int index, const UpdateFile &file) = 0;
    // The upload of the running file began with what the device accepted.
    virtual void optionsAccepted(const Tftp::NegotiatedOptions &options) = 0;
    virtual void fileEnded(const FileReport &report) = 0;
    // After the last file's end; succeeded when every file was delivered.
    virtual void updateEnded(bool succeeded) = 0;
};
