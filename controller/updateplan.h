#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One file of an update as read before anything is sent.
struct PlannedFile
{
    enum Kind {
        ApplicationImage, // the device may refuse one that it runs already
        OtherImage,
        Marker, // the empty "done" that tells the device the update is complete
    };

    QString name; // as the device gets it
    QString path; // on this machine; empty for the marker
    Kind kind = OtherImage;
    qint64 size = 0; // the bytes read, else the file's size on disk
    QByteArray bytes; // the image as read, shared by every copy of the plan
    QByteArray sha256; // of bytes, when asked for and read
    QString failure; // why it cannot be sent, in the status line's words; empty when it can
};

// What an update sends, in order, the "done" marker last. Every image is
// read whole once, before the first transfer, so that every device of a run
// gets the same bytes whatever happens to the folder meanwhile; copies of a
// plan share them, and nothing changes them.
class UpdatePlan
{
public:
    // A file to read, named as the device gets it.
    struct Source
    {
        QString name;
        QString path;
        bool applicationImage = false;
    };

    // Reads sources in order and adds the marker. An image larger than
    // imageLimit is refused from its size, unread; one that cannot be read
    // whole is never sent in part. With digests, each image read gets its
    // SHA-256.
    static UpdatePlan read(const QList<Source> &sources, qint64 imageLimit, bool digests);
    // The firmware of folder, selected from one listing of it, then read.
    static UpdatePlan readFolder(const QString &folder, qint64 imageLimit, bool digests);

    const QList<PlannedFile> &files() const { return m_files; }
    // The first file that cannot be sent, or -1 when all can.
    qsizetype firstUnsendable() const;

    // The name the end-of-update marker goes under.
    static const QString markerName;

private:
    QList<PlannedFile> m_files;
};
