#include "app/swtxupdate/commandline.h"
#include "app/swtxupdate/devicelookup.h"
#include "app/swtxupdate/filelisting.h"
#include "app/swtxupdate/interruptnotifier.h"
#include "app/swtxupdate/localaddress.h"
#include "app/swtxupdate/messages.h"
#include "app/swtxupdate/updatelog.h"
#include "app/swtxupdate/updaterun.h"
#include "controller/identity.h"
#include "controller/savedsettings.h"
#include "tftp/tftppacket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

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
    Identity::apply(QStringLiteral("swtxupdate"));
    qSetMessagePattern(QStringLiteral("swtxupdate: %{message}"));

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (!parsed.error.isEmpty())
        return badUse(parsed.error + QStringLiteral("\nTry 'swtxupdate --help' for more information."));
    UpdateOptions options = parsed.options;

    const QFileInfo folder(options.folder);
    if (!folder.isDir())
        return badUse(QStringLiteral("%1: no such folder").arg(options.folder));
    if (!folder.isReadable() || !folder.isExecutable() || !QDir(options.folder).isReadable())
        return badUse(QStringLiteral("%1: cannot read the folder").arg(options.folder));
    // One plan for the whole run: the folder is listed once and every image
    // read once, and every device gets those very bytes.
    const qint64 imageLimit = Tftp::maxImageSize(options.transferOptions.blockSize.value_or(Tftp::BlockSize));
    const UpdatePlan plan = UpdatePlan::readFolder(folder.absoluteFilePath(), imageLimit,
                                                   options.listOnly || !options.logPath.isEmpty());
    const bool markerOnly = plan.files().size() == 1;
    if (markerOnly && !options.allowEmpty) {
        return badUse(QStringLiteral("%1: no firmware image in the folder; nothing sent "
                                     "(--allow-empty sends the \"done\" marker alone)")
                              .arg(options.folder));
    }

    if (options.devices.isEmpty() && !options.listOnly) {
        const QString saved = SavedSettings::deviceAddress();
        if (saved.isEmpty())
            return badUse(QStringLiteral("no DEVICE given, and the window has saved none"));
        QString error;
        const std::optional<DeviceTarget> target = DeviceTarget::parse(saved, &error);
        if (!target)
            return badUse(QStringLiteral("saved device address: ") + error);
        options.devices.append(*target);
    }
    QString error;
    const std::optional<QString> localAddress = localAddressFor(options.interfaceName, &error);
    if (!localAddress)
        return badUse(error);

    // Every name is looked up before anything is sent: two names of one
    // transmitter would otherwise run two sessions against it at once.
    InterruptNotifier interruption;
    DeviceLookup lookup(options.devices, *localAddress);
    if (lookup.run(interruption) && !lookup.duplicate().isEmpty())
        return badUse(lookup.duplicate());

    // A listing checks what an update would, and sends nothing.
    if (options.listOnly) {
        if (interruption.wasInterrupted())
            return lookup.exitStatus(ExitInterrupted);
        if (options.json)
            printFileListJson(plan);
        else
            printFileList(plan);
        return ExitSuccess;
    }

    std::unique_ptr<UpdateLog> log;
    if (!options.logPath.isEmpty()) {
        log = std::make_unique<UpdateLog>(options.logPath);
        if (!log->open())
            return badUse(QStringLiteral("cannot open the log %1: %2").arg(options.logPath, log->errorString()));
    }
    return runUpdate(options, *localAddress, plan, lookup, interruption, log.get());
}
