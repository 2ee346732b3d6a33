#pragma once

#include "app/swtxupdate/commandline.h"
#include "controller/updateplan.h"

class DeviceLookup;
class InterruptNotifier;
class UpdateLog;

// Exit statuses, as the manual page lists them.
enum ExitStatus { ExitSuccess = 0, ExitFailure = 1, ExitBadUse = 2, ExitInterrupted = 130 };

// Updates every device of options in parallel with plan, each through an
// engine of its own, from localAddress (empty for any) to the address its
// lookup found; shows the progress, writes the log when one is open, prints
// the summary and returns the exit status. Every device ends "Interrupted"
// at once when the interruption came before.
int runUpdate(const UpdateOptions &options, const QString &localAddress, const UpdatePlan &plan,
              const DeviceLookup &lookup, InterruptNotifier &interruption, UpdateLog *log);
