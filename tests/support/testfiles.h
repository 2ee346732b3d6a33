#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>

// Pseudo-random bytes, the same for the same size, so that a block sent or
// stored twice, lost or out of place shows as wrong content.
inline QByteArray testImage(qsizetype size)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(quint32(size)).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

// Writes data to path, or ends the test program; returns path.
inline QString writeTestFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}
