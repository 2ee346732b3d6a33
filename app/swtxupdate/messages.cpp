#include "app/swtxupdate/messages.h"

#include <QTextStream>

namespace {

void printToStderr(const QString &text)
{
    QTextStream(stderr) << QStringLiteral("swtxupdate: ") << text << Qt::endl;
}

} // namespace

void printError(const QString &message)
{
    printToStderr(message);
}

void printWarning(const QString &message)
{
    printToStderr(QStringLiteral("warning: ") + message);
}
