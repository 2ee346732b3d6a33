#include "app/swtxupdate/commandline.h"
#include "app/swtxupdate/filelisting.h"
#include "app/swtxupdate/interruptnotifier.h"
#include "app/swtxupdate/localaddress.h"
#include "app/swtxupdate/messages.h"
#include "app/swtxupdate/updatelog.h"
#include "app/swtxupdate/updaterun.h"
#include "controller/qtftp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QUrl>

namespace {

int badUse(const QString &message)
{
    printError(message);
    return ExitBadUse;
}

} // namespace

int main(int argc, char *argv[])
{
    installInterruptHandlers();
    QCoreApplication app(argc, argv);
    QTftp settings;
    QCoreApplication::setApplicationName(QStringLiteral("swtxupdate"));
    QCoreApplication::setApplicationVersion(settings.updaterVersion());
    // The controller narrates its work with qDebug() for the window's
    // developers; a command-line tool prints only what the user asked for.
    // QT_LOGGING_RULES still turns it back on.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    qSetMessagePattern(QStringLiteral("swtxupdate: %{message}"));

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (!parsed.error.isEmpty())
        return badUse(parsed.error + QStringLiteral("\nTry 'swtxupdate --help' for more information."));
    UpdateOptions options = parsed.options;

    // The window's settings store, read but never written.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));

    const QFileInfo folder(options.folder);
    if (!folder.isDir())
        return badUse(QStringLiteral("%1: no such folder").arg(options.folder));
    if (!folder.isReadable() || !folder.isExecutable() || !QDir(options.folder).isReadable())
        return badUse(QStringLiteral("%1: cannot read the folder").arg(options.folder));
    settings.buildFileList(QUrl::fromLocalFile(folder.absoluteFilePath()));
    const QList<UpdateFile> files = settings.updateFiles();
    const bool markerOnly = files.size() == 1;
    if (markerOnly && !options.allowEmpty && !options.listOnly) {
        return badUse(QStringLiteral("%1: no firmware image in the folder; nothing sent "
                                     "(--allow-empty sends the \"done\" marker alone)")
                              .arg(options.folder));
    }

    if (options.devices.isEmpty() && !options.listOnly) {
        const QString saved = settings.loadNetworkAddr();
        if (saved.isEmpty())
            return badUse(QStringLiteral("no DEVICE given, and the window has saved none"));
        QString error;
        const std::optional<DeviceTarget> target = DeviceTarget::parse(saved, &error);
        if (!target)
            return badUse(QStringLiteral("saved device address: ") + error);
        options.devices.append(*target);
    }
    QString error;
    const std::optional<QString> localAddress = localAddressFor(options.interfaceName, settings, &error);
    if (!localAddress)
        return badUse(error);

    // A listing checks what an update would, and sends nothing.
    if (options.listOnly) {
        if (options.json)
            printFileListJson(files);
        else
            printFileList(files);
        return ExitSuccess;
    }

    std::unique_ptr<UpdateLog> log;
    if (!options.logPath.isEmpty()) {
        log = std::make_unique<UpdateLog>(options.logPath);
        if (!log->open())
            return badUse(QStringLiteral("cannot open the log %1: %2").arg(options.logPath, log->errorString()));
    }
    return runUpdate(options, *localAddress, log.get());
}
