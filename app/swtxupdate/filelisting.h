#pragma once

#include "controller/updateplan.h"

#include <QString>

// "application", "other" or "marker": the words of --list and the log.
QString kindName(const PlannedFile &file);

// Prints --list: one line per file of the plan, the "done" marker last:
// name, size, kind and SHA-256 in hex, tab-separated; "-" for the digest of
// a file that cannot be sent.
void printFileList(const UpdatePlan &plan);
// The same as one JSON object, {"files": [...]}, for programs: null for "-".
void printFileListJson(const UpdatePlan &plan);
