#include "app/swtxupdate/updaterun.h"

#include "app/swtxupdate/deviceupdate.h"
#include "app/swtxupdate/interruptnotifier.h"
#include "app/swtxupdate/progressdisplay.h"
#include "app/swtxupdate/summarytable.h"
#include "app/swtxupdate/updatelog.h"

#include <QEventLoop>
#include <QThreadPool>

#include <algorithm>
#include <memory>

#include <unistd.h>

int runUpdate(const UpdateOptions &options, const QString &localAddress, UpdateLog *log)
{
    // Each transfer holds its pool thread while it waits for the device.
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(std::max(pool->maxThreadCount(), int(options.devices.size())));

    std::vector<std::unique_ptr<DeviceUpdate>> owned;
    QList<DeviceUpdate *> devices;
    for (const DeviceTarget &target : options.devices) {
        owned.push_back(std::make_unique<DeviceUpdate>(target, localAddress, options.policy, options.folder));
        devices.append(owned.back().get());
    }

    std::unique_ptr<ProgressDisplay> display;
    if (!options.quiet) {
        display = std::make_unique<ProgressDisplay>(
                devices, ::isatty(STDOUT_FILENO) ? ProgressDisplay::Mode::Live : ProgressDisplay::Mode::Plain);
    }
    if (log)
        log->follow(devices);

    QEventLoop loop;
    int running = int(devices.size());
    for (DeviceUpdate *device : std::as_const(devices)) {
        QObject::connect(device, &DeviceUpdate::finished, &loop, [&loop, &running] {
            if (--running == 0)
                loop.quit();
        });
    }
    InterruptNotifier interruption;
    QObject::connect(&interruption, &InterruptNotifier::interrupted, &loop, [&devices] {
        for (DeviceUpdate *device : std::as_const(devices))
            device->interrupt();
    });

    for (DeviceUpdate *device : std::as_const(devices))
        device->start();
    loop.exec();

    if (display)
        display->finish();
    printSummaryTable(devices);

    if (interruption.wasInterrupted())
        return ExitInterrupted;
    const bool allSucceeded = std::all_of(devices.cbegin(), devices.cend(),
                                          [](const DeviceUpdate *device) { return device->succeeded(); });
    return allSucceeded ? ExitSuccess : ExitFailure;
}
