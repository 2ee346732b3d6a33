#pragma once

#include <QList>
#include <QString>

class TftpdProcess;

// One timeout of a 1 ms precise timer on the GUI thread. It is due one
// interval after the previous one; how much later it fires is time the thread
// spent on something else (painting, queued property updates, reading a file)
// or waiting for a processor, which the thread's CPU time tells apart.
struct TimerTimeout
{
    double dueMs = 0; // from the end of Start
    double latenessMs = 0;
    double threadCpuMs = 0; // the GUI thread's, since the previous timeout
};

// The real window's upload of an image from a folder, started by its Start
// button.
struct WindowRun
{
    QString failure;
    bool updateCompleted = false;
    qsizetype imageSize = 0;
    double startHandlerMs = 0; // GUI thread busy in Start: file list and file read
    double fileReadMs = 0; // reading the image file alone, just before Start
    double uploadMs = 0; // from the end of Start to updateCompleted
    QList<TimerTimeout> timeouts; // from the end of Start to updateCompleted
    int progressValues = 0; // fileProgressChanged reaching the window for the image
    int frames = 0;
};

// Loads app/main.qml and does what a technician does: picks the folder of
// imagePath in the Open dialog, types the server's address and presses
// Start. Checks what the window shows; the stored files are the caller's to
// check.
WindowRun runWindowUpload(const QString &imagePath, const TftpdProcess &server);
