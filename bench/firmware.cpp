#include "bench/firmware.h"

#include "tests/support/tftpdprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>

using namespace Qt::StringLiterals;

const QString benchImageName = u"7421BT-v1.0.bin"_s;
const QString benchMarkerName = u"done"_s;

QByteArray benchImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(0x5eed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QString writeFirmwareFolder(const QString &folder, const QByteArray &image)
{
    QFile file(folder + u'/' + benchImageName);
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
