#pragma once

#include "tftp/transferresult.h"

#include <QByteArrayView>
#include <QString>

// The status line's words for a transfer, in one place.
QString sendingFileText(const QString &fileName);
QString statusText(const Tftp::TransferResult &result);
// Why what the device gave back is not the image sent; empty when it is.
QString verifyFailureText(const Tftp::TransferResult &readBack, QByteArrayView stored, QByteArrayView image);
