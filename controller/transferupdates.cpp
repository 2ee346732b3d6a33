#include "controller/transferupdates.h"

void TransferUpdates::post(Update update)
{
    bool drainQueued = false;
    {
        const std::lock_guard lock(mutex);
        drainQueued = !pending.empty();
        pending.push_back(std::move(update));
    }
    if (!drainQueued)
        QMetaObject::invokeMethod(this, "applyPending", Qt::QueuedConnection);
}

void TransferUpdates::applyPending()
{
    std::vector<Update> updates;
    {
        const std::lock_guard lock(mutex);
        updates.swap(pending);
    }
    for (const Update &update : updates)
        update();
}
