#pragma once

#include <QObject>
#include <QSocketNotifier>

// Installs the SIGINT and SIGTERM handlers. Called first thing in main, so
// that a signal during start-up is kept for the notifier rather than ending
// the program with the signal's default action.
void installInterruptHandlers();

// Turns SIGINT and SIGTERM into a signal on the main thread. The handler only
// writes a byte to a pipe, the one thing it may safely do; the event loop
// reads it. A signal that came before the notifier existed counts at once.
class InterruptNotifier : public QObject
{
    Q_OBJECT

public:
    explicit InterruptNotifier(QObject *parent = nullptr);

    bool wasInterrupted() const { return m_interrupted; }

signals:
    void interrupted();

private:
    bool drainPipe();
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
    bool m_interrupted = false;
};
