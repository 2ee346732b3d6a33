#include "app/swtxupdate/filelisting.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

QString kindName(const PlannedFile &file)
{
    switch (file.kind) {
    case PlannedFile::ApplicationImage:
        return QStringLiteral("application");
    case PlannedFile::OtherImage:
        return QStringLiteral("other");
    case PlannedFile::Marker:
        return QStringLiteral("marker");
    }
    return {};
}

void printFileList(const UpdatePlan &plan)
{
    QTextStream out(stdout);
    for (const PlannedFile &file : plan.files()) {
        const QString sha256 = file.failure.isEmpty() ? QString::fromLatin1(file.sha256.toHex()) : QStringLiteral("-");
        out << file.name << '\t' << file.size << '\t' << kindName(file) << '\t' << sha256 << '\n';
    }
}

void printFileListJson(const UpdatePlan &plan)
{
    QJsonArray files;
    for (const PlannedFile &file : plan.files()) {
        files.append(QJsonObject{
                { QStringLiteral("file"), file.name },
                { QStringLiteral("size"), file.size },
                { QStringLiteral("kind"), kindName(file) },
                { QStringLiteral("sha256"),
                  file.failure.isEmpty() ? QJsonValue(QString::fromLatin1(file.sha256.toHex())) : QJsonValue() } });
    }
    QTextStream(stdout) << QJsonDocument(QJsonObject{ { QStringLiteral("files"), files } }).toJson(QJsonDocument::Compact)
                        << '\n';
}
