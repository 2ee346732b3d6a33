#include "controller/qtftp.h"

#include <QDebug>
#include <QDir>

namespace {

QList<QRegularExpression> expressions(std::initializer_list<const char *> patterns)
{
    QList<QRegularExpression> result;
    for (const char *pattern : patterns)
        result.append(QRegularExpression(QString::fromLatin1(pattern)));
    return result;
}

// A file name is put into a URL's text as it stands, except for the three
// characters that a URL reads as the start of a query, a fragment or an
// escape: left alone they would make the entry name another file.
QString escapedForUrlPath(QString fileName)
{
    return fileName.replace(u'%', QStringLiteral("%25"))
            .replace(u'#', QStringLiteral("%23"))
            .replace(u'?', QStringLiteral("%3F"));
}

// Every controller of the process appends to the bypass list and reads it.
std::mutex bypassableFilesMutex;

} // namespace

QStringList QTftp::k_bypassableFiles;

const QList<QRegularExpression> QTftp::k_swAppFileRegExps = expressions({
        "(742[0-2]-R-v).*(\\.bin)",
        "(742[0-2]-v).*(\\.bin)",
});

const QList<QRegularExpression> QTftp::k_filenamesRegExps = expressions({
        "(742[0-2]BT-v).*(\\.bin)",
        "(742[0-2]BL-v).*(\\.bin)",
        "(742[0-2]SL-v).*(\\.bin)",
        "(742[0-2]WB-v).*(\\.bin)",
        "(742[0-2]WP-v).*(\\.bin)",
        "(742[0-2]WA-v).*(\\.bin)",
        "(742[0-2]WR-v).*(\\.bin)",
        "(748[15]-v).*(\\.bin)",
});

void QTftp::buildFileList(QUrl filesFolder)
{
    // The running update goes on through the file list; it may not change
    // under it.
    if (transferRunning()) {
        qWarning() << "File list not rebuilt while an update runs";
        return;
    }
    fileList.clear();
    const QStringList names = QDir(filesFolder.toLocalFile()).entryList(QDir::Files, QDir::NoSort);
    fileListFromRegExps(k_swAppFileRegExps, names, filesFolder, true);
    fileListFromRegExps(k_filenamesRegExps, names, filesFolder, false);
    qDebug() << fileList;
    qDebug() << "dsda";
}

void QTftp::fileListFromRegExps(QList<QRegularExpression> patterns, QList<QString> names, QUrl folder,
                                bool bypassable)
{
    const QString folderText = folder.toString();
    for (const QRegularExpression &pattern : patterns) {
        const QStringList matching = names.filter(pattern);
        for (const QString &name : matching) {
            if (bypassable) {
                const std::lock_guard lock(bypassableFilesMutex);
                k_bypassableFiles.append(name.toLower());
            }
            fileList.append(folderText + u'/' + escapedForUrlPath(name));
        }
    }
}

bool QTftp::isBypassable(const QString &fileName)
{
    const std::lock_guard lock(bypassableFilesMutex);
    return k_bypassableFiles.contains(fileName.toLower());
}
