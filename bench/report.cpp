#include "bench/report.h"

#include "tests/support/tftpdprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QRandomGenerator>
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

const QString benchImageName = u"7421BT-v1.0.bin"_s;
const QString benchMarkerName = u"done"_s;

QByteArray benchImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(0x5eed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QString writeFirmwareFolder(const QString &folder, const QByteArray &image, const QString &name)
{
    QFile file(folder + u'/' + name);
    if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return u"cannot write the firmware folder %1"_s.arg(folder);
    return {};
}

QString mismatch(const QString &name, const QByteArray &stored, const QByteArray &expected)
{
    if (stored.isNull())
        return u"no file %1 was stored"_s.arg(name);
    if (stored == expected)
        return {};
    const qsizetype common = std::min(stored.size(), expected.size());
    const auto offset =
            std::mismatch(stored.cbegin(), stored.cbegin() + common, expected.cbegin()).first - stored.cbegin();
    return u"%1 differs: stored %L2 bytes, expected %L3, first difference at byte %L4"_s.arg(name)
            .arg(stored.size())
            .arg(expected.size())
            .arg(offset);
}

// A server may write its last bytes after its last acknowledgement (atftpd
// flushes its buffer when it closes the file): a mismatch is looked at again
// for up to a second.
QString storedMismatch(const TftpdProcess &server, const QString &name, const QByteArray &expected)
{
    QByteArray stored = server.readFile(name);
    for (const QDeadlineTimer deadline(1000); stored != expected && !deadline.hasExpired();
         stored = server.readFile(name))
        QThread::msleep(10);
    return mismatch(name, stored, expected);
}
