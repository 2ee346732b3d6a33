#include "app/swtxupdate/summarytable.h"

#include "app/swtxupdate/deviceupdate.h"
#include "app/swtxupdate/printable.h"

#include <QTextStream>

void printSummaryTable(const QList<DeviceUpdate *> &devices)
{
    QList<QStringList> rows{ { QStringLiteral("DEVICE"), QStringLiteral("FILES"), QStringLiteral("BYTES"),
                               QStringLiteral("TIME"), QStringLiteral("STATUS") } };
    for (const DeviceUpdate *device : devices) {
        rows.append({ device->label(),
                      QStringLiteral("%1/%2").arg(device->deliveredCount()).arg(device->fileCount()),
                      QString::number(device->bytesSent()),
                      QStringLiteral("%1 s").arg(double(device->elapsedMs()) / 1000, 0, 'f', 2),
                      printable(device->status()) });
    }
    QList<int> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));
    }
    QTextStream out(stdout);
    for (const QStringList &row : std::as_const(rows)) {
        // Text columns to the left, figures to the right; the status ends the line.
        out << row[0].leftJustified(widths[0]) << QStringLiteral("  ") << row[1].rightJustified(widths[1])
            << QStringLiteral("  ") << row[2].rightJustified(widths[2]) << QStringLiteral("  ")
            << row[3].rightJustified(widths[3]) << QStringLiteral("  ") << row[4] << '\n';
    }
    out.flush();
}
