#pragma once

#include <QList>
#include <QObject>
#include <QTextStream>
#include <QTimer>

class DeviceUpdate;
struct FileTransfer;

// Shows how the devices' updates go. On a terminal every device has one line,
// redrawn in place at most ten times a second; elsewhere one plain line is
// printed when each file starts and when it ends.
class ProgressDisplay : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Live, Plain };

    ProgressDisplay(const QList<DeviceUpdate *> &devices, Mode mode, QObject *parent = nullptr);

    // Draws the final state of a live display; call once every device has finished.
    void finish();

private:
    void printFileStarted(const DeviceUpdate &device, const FileTransfer &file);
    void printFileFinished(const DeviceUpdate &device, const FileTransfer &file);
    void redraw();
    QString liveLine(const DeviceUpdate &device) const;

    QList<DeviceUpdate *> m_devices;
    QTextStream m_out;
    QTimer m_redrawTimer;
    bool m_changed = false;
    bool m_drawn = false;
    int m_labelWidth = 0;
};
