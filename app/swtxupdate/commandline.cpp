#include "app/swtxupdate/commandline.h"

#include <QCommandLineParser>

namespace {

bool parseNumber(const QString &text, int minimum, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= minimum;
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Uploads the firmware images of FOLDER to one or more transmitters by TFTP, "
                           "exactly as the Skyweave Transmitter Update Tool window does, then the \"done\" marker.\n"
                           "Exit status: 0 when every device reports No Error, 1 when any device failed, "
                           "2 for bad use, 130 when interrupted."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption interfaceOption(
            QStringLiteral("interface"),
            QStringLiteral("Send from this interface (its name as the window lists it; its first IPv4 address) "
                           "or local address. Default: the interface saved by the window, else any."),
            QStringLiteral("name|address"));
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("Print the files that would be sent, in sending order, "
                                                       "with their size in bytes and kind, then exit."));
    const QCommandLineOption allowEmptyOption(
            QStringLiteral("allow-empty"),
            QStringLiteral("Send the \"done\" marker alone when FOLDER holds no firmware image."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Print only the summary."));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append one JSON record per file and per device to file."),
                                       QStringLiteral("file"));
    const QCommandLineOption retriesOption(
            QStringLiteral("retries"),
            QStringLiteral("Send a packet again up to n times when its reply does not come in time (default 0)."),
            QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Wait ms milliseconds for each reply (default 10000)."),
                                           QStringLiteral("ms"), QStringLiteral("10000"));
    parser.addOptions({ interfaceOption, listOption, allowEmptyOption, quietOption, logOption, retriesOption,
                        timeoutOption });
    parser.addPositionalArgument(QStringLiteral("FOLDER"), QStringLiteral("The folder that holds the firmware images."));
    parser.addPositionalArgument(
            QStringLiteral("DEVICE"),
            QStringLiteral("Host name or address of a transmitter, optionally with :PORT (default 69; IPv6 in "
                           "brackets, [::1]:6969). Several are updated in parallel. Default: the address saved "
                           "by the window."),
            QStringLiteral("[DEVICE...]"));

    ParsedCommandLine parsed;
    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();

    UpdateOptions &options = parsed.options;
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        parsed.error = QStringLiteral("no FOLDER given");
        return parsed;
    }
    options.folder = positional.takeFirst();
    for (const QString &text : std::as_const(positional)) {
        const std::optional<DeviceTarget> target = DeviceTarget::parse(text, &parsed.error);
        if (!target)
            return parsed;
        options.devices.append(*target);
    }
    if (!parseNumber(parser.value(retriesOption), 0, &options.policy.retries)) {
        parsed.error = QStringLiteral("--retries takes a whole number of 0 or more");
        return parsed;
    }
    if (!parseNumber(parser.value(timeoutOption), 1, &options.policy.replyTimeoutMs)) {
        parsed.error = QStringLiteral("--timeout takes a whole number of milliseconds, 1 or more");
        return parsed;
    }
    options.interfaceName = parser.value(interfaceOption);
    options.logPath = parser.value(logOption);
    options.listOnly = parser.isSet(listOption);
    options.allowEmpty = parser.isSet(allowEmptyOption);
    options.quiet = parser.isSet(quietOption);
    return parsed;
}
