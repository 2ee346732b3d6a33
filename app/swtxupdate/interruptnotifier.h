#pragma once

#include <QObject>
#include <QSocketNotifier>

// Turns SIGINT and SIGTERM into a signal on the main thread. The handler only
// writes a byte to a pipe, the one thing it may safely do; the event loop
// reads it.
class InterruptNotifier : public QObject
{
    Q_OBJECT

public:
    explicit InterruptNotifier(QObject *parent = nullptr);
    ~InterruptNotifier() override;

    bool wasInterrupted() const { return m_interrupted; }

signals:
    void interrupted();

private:
    void onReadable();

    int m_pipe[2] = { -1, -1 };
    QSocketNotifier *m_notifier = nullptr;
    bool m_interrupted = false;
};
