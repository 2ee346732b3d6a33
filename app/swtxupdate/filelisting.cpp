#include "app/swtxupdate/filelisting.h"

#include "tftp/tftppacket.h"
#include "tftp/transferoptions.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

// Streams the file through the hash, so that its size never matters to memory.
QString sha256Of(const UpdateFile &file)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (file.marker)
        return QString::fromLatin1(hash.result().toHex());
    const QFileInfo info(file.path);
    QFile content(file.path);
    // addData() fails when the file ends before its size, as a file that
    // reads short would be refused as it is sent.
    if (!info.isFile() || info.size() > Tftp::maxImageSize(Tftp::TransferOptions::maxBlockSize)
        || !content.open(QIODevice::ReadOnly) || !hash.addData(&content))
        return QStringLiteral("-");
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

QString kindName(const UpdateFile &file)
{
    if (file.marker)
        return QStringLiteral("marker");
    return file.applicationImage ? QStringLiteral("application") : QStringLiteral("other");
}

void printFileList(const QList<UpdateFile> &files)
{
    QTextStream out(stdout);
    for (const UpdateFile &file : files) {
        const qint64 size = file.marker ? 0 : QFileInfo(file.path).size();
        out << file.name << '\t' << size << '\t' << kindName(file) << '\t' << sha256Of(file) << '\n';
    }
}

void printFileListJson(const QList<UpdateFile> &files)
{
    QJsonArray listed;
    for (const UpdateFile &file : files) {
        const QString sha256 = sha256Of(file);
        listed.append(QJsonObject{ { QStringLiteral("file"), file.name },
                                   { QStringLiteral("size"), file.marker ? 0 : QFileInfo(file.path).size() },
                                   { QStringLiteral("kind"), kindName(file) },
                                   { QStringLiteral("sha256"), sha256 == u'-' ? QJsonValue() : QJsonValue(sha256) } });
    }
    QTextStream(stdout) << QJsonDocument(QJsonObject{ { QStringLiteral("files"), listed } }).toJson(QJsonDocument::Compact)
                        << '\n';
}
