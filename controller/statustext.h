#pragma once

#include "tftp/transferresult.h"

#include <QString>

// The status line's words for a transfer, in one place.
QString sendingFileText(const QString &fileName);
QString statusText(const Tftp::TransferResult &result);
