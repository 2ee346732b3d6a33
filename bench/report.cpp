#include "bench/report.h"

#include <QFile>
#include <QLibraryInfo>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString cpuModel()
{
    QFile cpuinfo(u"/proc/cpuinfo"_s);
    // A file of the proc file system has no size: read it whole.
    const QByteArrayList lines = cpuinfo.open(QIODevice::ReadOnly) ? cpuinfo.readAll().split('\n') : QByteArrayList();
    for (const QByteArray &line : lines) {
        if (line.startsWith("model name"))
            return QString::fromLatin1(line).section(u':', 1).trimmed();
    }
    return u"unknown"_s;
}

} // namespace

void print(const QString &line)
{
    static QTextStream out(stdout);
    out << line << Qt::endl;
}

void progress(const QString &line)
{
    static QTextStream err(stderr);
    err << line << Qt::endl;
}

QString fixed(double value, int decimals)
{
    return u"%L1"_s.arg(value, 0, 'f', decimals);
}

QString figure(double value, int decimals, bool measured)
{
    return measured ? fixed(value, decimals) : u"–"_s;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

QString machineLine()
{
    return u"%1 CPUs (%2), Linux %3, Qt %4, load average %5"_s.arg(QString::number(QThread::idealThreadCount()),
                                                                   cpuModel(), QSysInfo::kernelVersion(),
                                                                   QLibraryInfo::version().toString(), loadAverage());
}

QString loadAverage()
{
    QFile file(u"/proc/loadavg"_s);
    if (!file.open(QIODevice::ReadOnly))
        return u"unknown"_s;
    return QString::fromLatin1(file.readAll()).section(u' ', 0, 2);
}

void printTable(const QStringList &header, const QList<QStringList> &rows)
{
    print(u"| %1 |"_s.arg(header.join(u" | "_s)));
    print(u"|---"_s + u"|---:"_s.repeated(header.size() - 1) + u'|');
    for (const QStringList &row : rows)
        print(u"| %1 |"_s.arg(row.join(u" | "_s)));
    print();
}

QString judged(double value, bool met)
{
    return met ? fixed(value, 2) : u"**%1 missed**"_s.arg(fixed(value, 2));
}

void printFailures(const QStringList &failures)
{
    if (failures.isEmpty()) {
        print(u"No failures: every file reported delivered was stored byte for byte."_s);
        return;
    }
    print(u"## Failures (%1)\n"_s.arg(failures.size()));
    for (const QString &failure : failures)
        print(u"- "_s + failure);
}
