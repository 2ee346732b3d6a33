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


namespace {

int exitStatus(const QList<DeviceUpdate *> &devices, bool interrupted, const UpdateLog *log)
{
    if (interrupted)
        return ExitInterrupted;
    if (log && !log->isIntact())
        return ExitFailure;
    const bool allSucceeded = std::all_of(devices.cbegin(), devices.cend(),
                                          [](const DeviceUpdate *device) { return device->succeeded(); });
    return allSucceeded ? ExitSuccess : ExitFailure;
}

} // namespace

int runUpdate(const UpdateOptions &options, const QString &localAddress, const UpdatePlan &plan,
              const DeviceLookup &lookup, InterruptNotifier &interruption, UpdateLog *log)
{
    // Each transfer holds its pool thread while it waits for the device.
    QThreadPool *pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(std::max(pool->maxThreadCount(), int(options.devices.size())));

    std::vector<std::unique_ptr<DeviceUpdate>> owned;
    QList<DeviceUpdate *> devices;
    for (const DeviceTarget &target : options.devices) {
        owned.push_back(std::make_unique<DeviceUpdate>(target, localAddress, plan, options));
        devices.append(owned.back().get());
    }
    const auto allFinished = [&devices] {
        return std::all_of(devices.cbegin(), devices.cend(),
                           [](const DeviceUpdate *device) { return device->isFinished(); });
    };

    std::unique_ptr<ProgressDisplay> display;
    if (!options.quiet) {
        display = std::make_unique<ProgressDisplay>(
                devices, ::isatty(STDOUT_FILENO) ? ProgressDisplay::Mode::Live : ProgressDisplay::Mode::Plain);
    }
    if (log)
        log->follow(devices);

    QEventLoop loop;
    for (DeviceUpdate *device : std::as_const(devices)) {
        QObject::connect(device, &DeviceUpdate::finished, &loop, [&loop, &allFinished] {
            if (allFinished())
                loop.quit();
        });
    }
    const auto interruptAll = [&devices] {
        for (DeviceUpdate *device : std::as_const(devices))
            device->interrupt();
    };
    QObject::connect(&interruption, &InterruptNotifier::interrupted, &loop, interruptAll);

    // A signal may have come during start-up or the name lookups, and a
    // device may finish while it starts; a quit before the loop runs would be
    // lost.
    if (interruption.wasInterrupted()) {
        interruptAll();
    } else {
        for (qsizetype i = 0; i < devices.size(); ++i)
            devices.at(i)->start(lookup.results().at(i));
    }
    if (!allFinished())
        loop.exec();

    if (display)
        display->finish();
    printSummaryTable(devices);

    return lookup.exitStatus(exitStatus(devices, interruption.wasInterrupted(), log));
}
