#pragma once

#include "controller/qtftp.h"

#include <QtQml/qqml.h>

// The controller as the window's QML type QTftp, registered by the window's
// module wherever the module is linked: in the program, its test and the
// benchmark alike.
struct QTftpQmlType
{
    Q_GADGET
    QML_FOREIGN(QTftp)
    QML_NAMED_ELEMENT(QTftp)
};
