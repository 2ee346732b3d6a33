#pragma once

#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

// Carries a transfer's property updates to the thread the controller lives
// on, in the order they were made. The updates wait in a queue under a mutex;
// one queued call drains whatever has gathered by the time it runs.
class TransferUpdates : public QObject
{
    Q_OBJECT

public:
    using Update = std::function<void()>;

    explicit TransferUpdates(QObject *parent) : QObject(parent) { }

    // From any thread.
    void post(Update update);
    // On this object's thread; also safe to call when nothing is queued.
    Q_INVOKABLE void applyPending();

private:
    std::mutex mutex;
    std::vector<Update> pending;
};
