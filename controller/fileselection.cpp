#include "controller/qtftp.h"

#include "controller/firmwarefiles.h"

#include <QDebug>

namespace {

// A file name is put into a URL's text as it stands, except for the three
// characters that a URL reads as the start of a query, a fragment or an
// escape: left alone they would make the entry name another file.
QString escapedForUrlPath(QString fileName)
{
    return fileName.replace(u'%', QStringLiteral("%25"))
            .replace(u'#', QStringLiteral("%23"))
            .replace(u'?', QStringLiteral("%3F"));
}

} // namespace

QStringList QTftp::k_bypassableFiles;

void QTftp::buildFileList(QUrl filesFolder)
{
    // The running update goes on through the file list; it may not change
    // under it.
    if (m_engine.isRunning()) {
        qWarning() << "File list not rebuilt while an update runs";
        return;
    }
    fileList.clear();
    const QString folderText = filesFolder.toString();
    for (const FirmwareFile &file : selectFirmware(folderFileNames(filesFolder.toLocalFile()))) {
        // Each name once, however often the folder is listed.
        if (file.applicationImage && !k_bypassableFiles.contains(file.name.toLower()))
            k_bypassableFiles.append(file.name.toLower());
        fileList.append(folderText + u'/' + escapedForUrlPath(file.name));
    }
    qDebug() << fileList;
    qDebug() << "dsda";
}
