#include "app/swtxupdate/interruptnotifier.h"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Open for the whole run: the handlers may fire until the process ends.
int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    // A full pipe already holds an interruption that has not been read.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void installInterruptHandlers()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

InterruptNotifier::InterruptNotifier(QObject *parent)
    : QObject(parent)
{
    if (signalPipe[0] < 0)
        return;
    m_interrupted = drainPipe();
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptNotifier::onReadable);
}

bool InterruptNotifier::drainPipe()
{
    bool signalled = false;
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0)
        signalled = true;
    return signalled;
}

void InterruptNotifier::onReadable()
{
    if (!drainPipe())
        return;
    m_interrupted = true;
    emit interrupted();
}
