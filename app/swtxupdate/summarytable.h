#pragma once

#include <QList>

class DeviceUpdate;

// Prints one row per device to stdout: files delivered of all (the "done"
// marker included), payload bytes, time and final status.
void printSummaryTable(const QList<DeviceUpdate *> &devices);
