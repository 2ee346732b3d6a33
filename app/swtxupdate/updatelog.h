#pragma once

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QObject>

class DeviceUpdate;
struct FileTransfer;

// Appends JSON Lines to the --log file: one record per file per device as it
// ends, and one per device when its update ends. Each record is flushed as
// it is written, and earlier records are never rewritten.
class UpdateLog : public QObject
{
    Q_OBJECT

public:
    explicit UpdateLog(const QString &path, QObject *parent = nullptr);

    bool open();
    QString errorString() const { return m_file.errorString(); }
    // False once a record could not be written whole; the first failure is
    // reported on stderr.
    bool isIntact() const { return m_intact; }
    void follow(const QList<DeviceUpdate *> &devices);

private:
    void writeFileRecord(const DeviceUpdate &device, const FileTransfer &file);
    void writeDeviceRecord(const DeviceUpdate &device);
    void write(QJsonObject record);

    QFile m_file;
    bool m_intact = true;
};
