#include "app/swtxupdate/progressdisplay.h"

#include "app/swtxupdate/deviceupdate.h"
#include "app/swtxupdate/printable.h"

#include <QLocale>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int redrawIntervalMs = 100;

QString dataSize(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

QString minutesAndSeconds(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// Longer lines would wrap, and the cursor would no longer find them.
int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// What the device accepted, when it is not the lock-step default; empty otherwise.
QString optionsText(const Tftp::NegotiatedOptions &options, const QString &separator)
{
    const Tftp::NegotiatedOptions lockStep;
    QString text;
    if (options.blockSize != lockStep.blockSize)
        text += separator + QStringLiteral("blksize %1").arg(options.blockSize);
    if (options.windowSize != lockStep.windowSize)
        text += separator + QStringLiteral("windowsize %1").arg(options.windowSize);
    return text;
}

} // namespace

ProgressDisplay::ProgressDisplay(const QList<DeviceUpdate *> &devices, Mode mode, QObject *parent)
    : QObject(parent)
    , m_devices(devices)
    , m_out(stdout)
{
    for (const DeviceUpdate *device : devices)
        m_labelWidth = std::max(m_labelWidth, int(device->label().size()));

    if (mode == Mode::Plain) {
        for (const DeviceUpdate *device : devices) {
            connect(device, &DeviceUpdate::fileBegan, this,
                    [this, device](const FileTransfer &file) { printFileStarted(*device, file); });
            connect(device, &DeviceUpdate::fileFinished, this,
                    [this, device](const FileTransfer &file) { printFileFinished(*device, file); });
        }
        return;
    }
    const auto markChanged = [this] { m_changed = true; };
    for (const DeviceUpdate *device : devices) {
        connect(device, &DeviceUpdate::fileBegan, this, markChanged);
        connect(device, &DeviceUpdate::fileProgressed, this, markChanged);
        connect(device, &DeviceUpdate::fileFinished, this, markChanged);
    }
    connect(&m_redrawTimer, &QTimer::timeout, this, [this] {
        if (m_changed)
            redraw();
    });
    m_redrawTimer.start(redrawIntervalMs);
    redraw();
}

void ProgressDisplay::finish()
{
    if (!m_redrawTimer.isActive())
        return;
    m_redrawTimer.stop();
    redraw();
}

void ProgressDisplay::printFileStarted(const DeviceUpdate &device, const FileTransfer &file)
{
    m_out << QStringLiteral("%1: file %2/%3 %4 (%5 bytes): sending")
                     .arg(device.label())
                     .arg(file.number)
                     .arg(device.fileCount())
                     .arg(printable(file.file.name))
                     .arg(file.file.size)
          << Qt::endl;
}

void ProgressDisplay::printFileFinished(const DeviceUpdate &device, const FileTransfer &file)
{
    const FileReport &report = file.report;
    QString details = QStringLiteral("%1 bytes in %2 ms").arg(report.bytesSent).arg(file.ms);
    if (report.delivered())
        details += optionsText(report.options, QStringLiteral(", "));
    if (report.verified)
        details += QStringLiteral(", verified");
    m_out << QStringLiteral("%1: file %2/%3 %4: %5 (%6)")
                     .arg(device.label())
                     .arg(file.number)
                     .arg(device.fileCount())
                     .arg(printable(report.name), printable(file.status), details)
          << Qt::endl;
}

void ProgressDisplay::redraw()
{
    m_changed = false;
    const int columns = terminalColumns();
    if (m_drawn)
        m_out << QStringLiteral("\x1b[%1A").arg(m_devices.size());
    for (const DeviceUpdate *device : std::as_const(m_devices))
        m_out << QStringLiteral("\r\x1b[2K") << liveLine(*device).left(columns - 1) << '\n';
    m_out.flush();
    m_drawn = true;
}

QString ProgressDisplay::liveLine(const DeviceUpdate &device) const
{
    const QString label = device.label().leftJustified(m_labelWidth);
    if (device.isFinished()) {
        const std::optional<Tftp::NegotiatedOptions> accepted = device.acceptedOptions();
        const QStringList bypasses = device.bypasses();
        return QStringLiteral("%1  %2/%3 files  %4%5%6")
                .arg(label)
                .arg(device.deliveredCount())
                .arg(device.fileCount())
                .arg(printable(device.status()),
                     bypasses.isEmpty() ? QString() : QStringLiteral("; ") + printable(bypasses.join(QStringLiteral("; "))),
                     accepted ? optionsText(*accepted, QStringLiteral("  ")) : QString());
    }
    if (!device.fileRunning())
        return QStringLiteral("%1  waiting").arg(label);

    const FileTransfer &file = device.currentFile();
    const qint64 size = file.file.size;
    const qint64 sent = device.currentPayloadSent();
    const qint64 ms = std::max<qint64>(file.clock.elapsed(), 1);
    const qint64 rate = sent * 1000 / ms;
    const QString left = rate > 0 ? minutesAndSeconds((size - sent) / rate) + QStringLiteral(" left")
                                   : QStringLiteral("--:-- left");
    const std::optional<Tftp::NegotiatedOptions> accepted = device.acceptedOptions();
    return QStringLiteral("%1  file %2/%3 %4  %5/%6 B  %7/s  %8%9")
            .arg(label)
            .arg(file.number)
            .arg(device.fileCount())
            .arg(printable(file.file.name))
            .arg(sent)
            .arg(size)
            .arg(dataSize(rate), left, accepted ? optionsText(*accepted, QStringLiteral("  ")) : QString());
}
