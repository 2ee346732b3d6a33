#include "app/swtxupdate/commandline.h"

#include <QCommandLineParser>

#include <limits>

namespace {

// What --fast asks for: 1428-byte blocks fit one Ethernet frame with the
// IPv6, UDP and TFTP headers (1500 - 40 - 8 - 4 = 1448) and leave room for
// the IPv4 options some links add; 16 blocks in flight cover a few
// milliseconds of round trip at link speed.
constexpr int fastBlockSize = 1428;
constexpr int fastWindowSize = 16;

bool parseNumber(const QString &text, int minimum, int maximum, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= minimum && *value <= maximum;
}

// The value of an option to ask the device for, when given; on a value out
// of range, *error says so.
std::optional<int> askedValue(const QCommandLineParser &parser, const QCommandLineOption &option, int minimum,
                              int maximum, QString *error)
{
    int value = 0;
    if (!parser.isSet(option))
        return std::nullopt;
    if (!parseNumber(parser.value(option), minimum, maximum, &value)) {
        *error = QStringLiteral("--%1 takes a whole number from %2 to %3").arg(option.names().constFirst()).arg(minimum).arg(maximum);
        return std::nullopt;
    }
    return value;
}

QString waitsText(const Tftp::TransferPolicy &policy)
{
    return QStringLiteral("%1 s").arg(double(policy.longestWaitMs()) / 1000, 0, 'f', 1);
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    const Tftp::TransferPolicy defaults;
    Tftp::TransferPolicy threeRetries;
    threeRetries.retries = 3;
    threeRetries.replyTimeoutMs = 1000;

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Uploads the firmware images of FOLDER to one or more transmitters by TFTP, "
                           "exactly as the Skyweave Transmitter Update Tool window does, then the \"done\" marker: "
                           "of the families 7420, 7421, 7422, 7481 and 7485 alone, the application images "
                           "742N-R-v*.bin and 742N-v*.bin first, then the 742N BT, BL, SL, WB, WP, WA and WR "
                           "images (742NBT-v*.bin and so on), then 7481-v*.bin and 7485-v*.bin, N being 0, 1 or 2.\n"
                           "By default every transfer runs in the lock-step every device knows: 512-byte blocks, "
                           "one in flight. --block-size, --window and --fast ask the device for more; they are asked "
                           "only when given, and a device that does not know them answers without them, so the "
                           "transfer falls back to lock-step by itself.\n"
                           "Exit status: 0 when every device reports No Error, 1 when any device failed or the log "
                           "could not be written, 2 for bad use, 130 when interrupted."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption interfaceOption(
            QStringLiteral("interface"),
            QStringLiteral("Send from this interface (its name as the window lists it; its first IPv4 address) "
                           "or local address. Default: the interface saved by the window, else any."),
            QStringLiteral("name|address"));
    const QCommandLineOption listOption(
            QStringLiteral("list"),
            QStringLiteral("Print the files that would be sent, in sending order, the \"done\" marker last: name, "
                           "size in bytes, kind (application, other or marker) and SHA-256 (- for a file that "
                           "cannot be read whole or sent), tab-separated; then exit. The options and devices "
                           "given are checked as for an update, and nothing is sent."));
    const QCommandLineOption jsonOption(
            QStringLiteral("json"),
            QStringLiteral("With --list, print one JSON object instead: {\"files\": [{\"file\", \"size\", "
                           "\"kind\", \"sha256\"}, ...]}, sha256 null where --list prints -."));
    const QCommandLineOption allowEmptyOption(
            QStringLiteral("allow-empty"),
            QStringLiteral("Send the \"done\" marker alone when FOLDER holds no firmware image."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("Print only the summary."));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append one JSON record per file and per device to file."),
                                       QStringLiteral("file"));
    const QCommandLineOption retriesOption(
            QStringLiteral("retries"),
            QStringLiteral("Send a packet again up to n times when its reply does not come in time (default 0). "
                           "Each retry waits twice as long as the one before, up to %1 s a wait: --retries 3 "
                           "--timeout 1000 waits at most %2 for one reply.")
                    .arg(Tftp::TransferPolicy::maxReplyWaitMs / 1000)
                    .arg(waitsText(threeRetries)),
            QStringLiteral("n"), QString::number(defaults.retries));
    const QCommandLineOption timeoutOption(
            QStringLiteral("timeout"),
            QStringLiteral("Wait ms milliseconds for each reply before the first retry (default %1).")
                    .arg(defaults.replyTimeoutMs),
            QStringLiteral("ms"), QString::number(defaults.replyTimeoutMs));
    const QCommandLineOption blockSizeOption(
            QStringLiteral("block-size"),
            QStringLiteral("Ask the device for blocks of n bytes (%1 to %2; RFC 2348). Default: not asked, 512.")
                    .arg(Tftp::TransferOptions::minBlockSize)
                    .arg(Tftp::TransferOptions::maxBlockSize),
            QStringLiteral("n"));
    const QCommandLineOption windowOption(
            QStringLiteral("window"),
            QStringLiteral("Ask the device for n blocks in flight per acknowledgement (%1 to %2; RFC 7440). "
                           "Default: not asked, 1.")
                    .arg(Tftp::TransferOptions::minWindowSize)
                    .arg(Tftp::TransferOptions::maxWindowSize),
            QStringLiteral("n"));
    const QCommandLineOption fastOption(
            QStringLiteral("fast"),
            QStringLiteral("Ask for %1-byte blocks, which fit an Ethernet frame over IPv4 and IPv6, and a window "
                           "of %2; --block-size and --window override either.")
                    .arg(fastBlockSize)
                    .arg(fastWindowSize));
    const QCommandLineOption verifyOption(
            QStringLiteral("verify"),
            QStringLiteral("Read each delivered image back from the device and compare it; the \"done\" marker "
                           "goes only after every image matched. An image whose last acknowledgement never came "
                           "is read back too, and counts as delivered when it matches. Not every device allows "
                           "reading back."));
    parser.addOptions({ interfaceOption, listOption, jsonOption, allowEmptyOption, quietOption, logOption, retriesOption,
                        timeoutOption, blockSizeOption, windowOption, fastOption, verifyOption });
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
    if (!parseNumber(parser.value(retriesOption), 0, std::numeric_limits<int>::max(), &options.policy.retries)) {
        parsed.error = QStringLiteral("--retries takes a whole number of 0 or more");
        return parsed;
    }
    if (!parseNumber(parser.value(timeoutOption), 1, std::numeric_limits<int>::max(),
                     &options.policy.replyTimeoutMs)) {
        parsed.error = QStringLiteral("--timeout takes a whole number of milliseconds, 1 or more");
        return parsed;
    }
    // A stopped transfer tells the device, so that it frees its session at once.
    options.policy.tellDeviceOnAbort = true;

    if (parser.isSet(fastOption)) {
        options.transferOptions.blockSize = fastBlockSize;
        options.transferOptions.windowSize = fastWindowSize;
    }
    if (const std::optional<int> blockSize = askedValue(parser, blockSizeOption, Tftp::TransferOptions::minBlockSize,
                                                        Tftp::TransferOptions::maxBlockSize, &parsed.error))
        options.transferOptions.blockSize = blockSize;
    if (const std::optional<int> windowSize = askedValue(parser, windowOption, Tftp::TransferOptions::minWindowSize,
                                                         Tftp::TransferOptions::maxWindowSize, &parsed.error))
        options.transferOptions.windowSize = windowSize;
    if (!parsed.error.isEmpty())
        return parsed;
    options.interfaceName = parser.value(interfaceOption);
    options.logPath = parser.value(logOption);
    options.listOnly = parser.isSet(listOption);
    options.json = parser.isSet(jsonOption);
    if (options.json && !options.listOnly) {
        parsed.error = QStringLiteral("--json goes with --list");
        return parsed;
    }
    options.allowEmpty = parser.isSet(allowEmptyOption);
    options.quiet = parser.isSet(quietOption);
    options.verify = parser.isSet(verifyOption);
    return parsed;
}
