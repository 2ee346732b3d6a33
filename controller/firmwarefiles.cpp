#include "controller/firmwarefiles.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

namespace {

QList<QRegularExpression> expressions(std::initializer_list<const char *> patterns)
{
    QList<QRegularExpression> result;
    for (const char *pattern : patterns)
        result.append(QRegularExpression(QString::fromLatin1(pattern)));
    return result;
}

const QList<QRegularExpression> applicationImagePatterns = expressions({
        "(742[0-2]-R-v).*(\\.bin)",
        "(742[0-2]-v).*(\\.bin)",
});

const QList<QRegularExpression> otherImagePatterns = expressions({
        "(742[0-2]BT-v).*(\\.bin)",
        "(742[0-2]BL-v).*(\\.bin)",
        "(742[0-2]SL-v).*(\\.bin)",
        "(742[0-2]WB-v).*(\\.bin)",
        "(742[0-2]WP-v).*(\\.bin)",
        "(742[0-2]WA-v).*(\\.bin)",
        "(742[0-2]WR-v).*(\\.bin)",
        "(748[15]-v).*(\\.bin)",
});

// Whether the device may refuse the file as an application image it runs
// already: decided by the name, wherever in the order the name came.
bool isApplicationImage(const QString &name)
{
    return std::any_of(applicationImagePatterns.cbegin(), applicationImagePatterns.cend(),
                       [&name](const QRegularExpression &pattern) { return pattern.match(name).hasMatch(); });
}

void appendMatches(QList<FirmwareFile> *files, const QList<QRegularExpression> &patterns, const QStringList &names)
{
    for (const QRegularExpression &pattern : patterns) {
        const QStringList matching = names.filter(pattern);
        for (const QString &name : matching)
            files->append({ name, isApplicationImage(name) });
    }
}

} // namespace

QStringList folderFileNames(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::NoSort);
}

QList<FirmwareFile> selectFirmware(const QStringList &names)
{
    QList<FirmwareFile> files;
    appendMatches(&files, applicationImagePatterns, names);
    appendMatches(&files, otherImagePatterns, names);
    return files;
}
