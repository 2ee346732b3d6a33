#include "controller/updateplan.h"

#include "controller/firmwarefiles.h"
#include "controller/statustext.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

const QString UpdatePlan::markerName = QStringLiteral("done");

namespace {

// Reads an image whole into file, or says in file.failure why not.
void readImage(PlannedFile &file, qint64 limit)
{
    file.size = QFileInfo(file.path).size();
    QFile image(file.path);
    if (!image.open(QIODevice::ReadOnly)) {
        file.failure = QStringLiteral("Could not open file %1: %2").arg(file.name, image.errorString());
        return;
    }
    // A device file has no size to go by: it is read up to just past the limit.
    const qint64 size = image.isSequential() ? -1 : image.size();
    if (size > limit) {
        file.failure = statusText({ Tftp::TransferResult::ImageTooLarge, size, limit });
        return;
    }
    const QByteArray bytes = image.read(size < 0 ? limit + 1 : size);
    if (bytes.size() > limit)
        file.failure = statusText({ Tftp::TransferResult::ImageTooLarge, bytes.size(), limit });
    else if (image.error() != QFileDevice::NoError)
        file.failure = QStringLiteral("Could not read file %1: %2").arg(file.name, image.errorString());
    else if (size >= 0 && bytes.size() != size)
        file.failure = QStringLiteral("Could not read file %1: %2 of %3 bytes read").arg(file.name).arg(bytes.size()).arg(size);
    else
        file.bytes = bytes;
    if (file.failure.isEmpty() && size < 0)
        file.size = bytes.size();
}

} // namespace

UpdatePlan UpdatePlan::read(const QList<Source> &sources, qint64 imageLimit, bool digests)
{
    UpdatePlan plan;
    for (const Source &source : sources) {
        PlannedFile file;
        file.name = source.name;
        file.path = source.path;
        file.kind = source.applicationImage ? PlannedFile::ApplicationImage : PlannedFile::OtherImage;
        readImage(file, imageLimit);
        plan.m_files.append(file);
    }
    PlannedFile marker;
    marker.name = markerName;
    marker.kind = PlannedFile::Marker;
    plan.m_files.append(marker);
    if (digests) {
        for (PlannedFile &file : plan.m_files) {
            if (file.failure.isEmpty())
                file.sha256 = QCryptographicHash::hash(file.bytes, QCryptographicHash::Sha256);
        }
    }
    return plan;
}

UpdatePlan UpdatePlan::readFolder(const QString &folder, qint64 imageLimit, bool digests)
{
    const QDir dir(folder);
    QList<Source> sources;
    for (const FirmwareFile &file : selectFirmware(folderFileNames(folder)))
        sources.append({ file.name, dir.filePath(file.name), file.applicationImage });
    return read(sources, imageLimit, digests);
}

qsizetype UpdatePlan::firstUnsendable() const
{
    for (qsizetype i = 0; i < m_files.size(); ++i) {
        if (!m_files.at(i).failure.isEmpty())
            return i;
    }
    return -1;
}
