#include "cli/CliOptions.h"

#include "device_link/MSComm.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <map>

QString PortChoice::Device() const {
    return IsPath() ? path : MSComm::DevicePath(number);
}

QString PortChoice::Display() const {
    if (IsPath())
        return path;
    const QString name = QStringLiteral("COM%1").arg(number);
    const QString device = Device();
    return device == name ? name : QStringLiteral("%1 (%2)").arg(name, device);
}

std::optional<PortChoice> ParsePort(const QString& text) {
    static const QRegularExpression numbered(QStringLiteral("^(?:COM)?([0-9]{1,3}):?$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = numbered.match(text);
    if (match.hasMatch()) {
        const int number = match.captured(1).toInt();
        if (number < 1 || number > 255)
            return std::nullopt;
        return PortChoice{number, {}};
    }
    if (text.contains(QLatin1Char('/')) || text.startsWith(QLatin1String("\\\\.\\")))
        return PortChoice{1, text};
    return std::nullopt;
}

std::optional<FirmwareVersion> ParseVersion(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    FirmwareVersion version{};
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const int part = parts[i].toInt(&ok);
        if (!ok || part < 0 || part > 255)
            return std::nullopt;
        version[size_t(i)] = std::uint8_t(part);
    }
    return version;
}

namespace {

const char* const Summary =
    "Reads, polls, sets and upgrades a KDR31 without a window.\n"
    "\n"
    "Commands:\n"
    "  ports                     each port number, its device and whether it is present\n"
    "  scan                      the first port where a KDR31 answers\n"
    "  info      --port P        firmware, serial number and settings [--json]\n"
    "  poll      --port P        one line per reading at the device's refresh interval\n"
    "                            [--count N] [--format text|csv|json]; Ctrl-C stops\n"
    "  set       --port P        [--interval 5-60] [--divider 1-10] [--country nl|be]\n"
    "                            [--protocol 2|4|5], then the values the device reports\n"
    "  debug-log --port P        the device's debug log, byte for byte\n"
    "                            [--follow] [--output FILE]\n"
    "  upgrade   --port P        (--online | --hex FILE --image-version A.B.C.D) [--yes];\n"
    "                            Ctrl-C during the upload cancels it\n"
    "\n"
    "P is a port number (5, as COM5), a name (COM5) or a device path (/dev/ttyUSB0,\n"
    "/dev/serial/by-id/...).\n"
    "\n"
    "Exit codes: 0 success, 1 device or network failure, 2 usage error, 3 image refused,\n"
    "130 cancelled.";

struct OptionUse {
    const char* name;
    std::initializer_list<CliCommand> commands;
};

std::optional<CliCommand> CommandNamed(const QString& name) {
    static const std::map<QString, CliCommand> commands = {
        {QStringLiteral("ports"), CliCommand::Ports},
        {QStringLiteral("scan"), CliCommand::Scan},
        {QStringLiteral("info"), CliCommand::Info},
        {QStringLiteral("poll"), CliCommand::Poll},
        {QStringLiteral("set"), CliCommand::Set},
        {QStringLiteral("debug-log"), CliCommand::DebugLog},
        {QStringLiteral("upgrade"), CliCommand::Upgrade},
    };
    const auto it = commands.find(name);
    if (it == commands.end())
        return std::nullopt;
    return it->second;
}

ParsedCommandLine UsageError(const QString& text) {
    ParsedCommandLine parsed;
    parsed.kind = ParsedCommandLine::Usage;
    parsed.text = text + QStringLiteral(" (kdr31-cli --help lists the commands and options)");
    return parsed;
}

} // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    using C = CliCommand;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Summary));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help."));
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Shows the program's version."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do (above)."),
                                 QStringLiteral("<command>"));

    const QString value = QStringLiteral("value");
    const std::map<QString, QCommandLineOption> options = {
        {QStringLiteral("port"),
         QCommandLineOption({QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("The KDR31's port: 5, COM5 or /dev/ttyUSB0."),
                            QStringLiteral("P"))},
        {QStringLiteral("json"),
         QCommandLineOption(QStringLiteral("json"), QStringLiteral("info: as one JSON object."))},
        {QStringLiteral("count"),
         QCommandLineOption({QStringLiteral("n"), QStringLiteral("count")},
                            QStringLiteral("poll: stop after N readings."), QStringLiteral("N"))},
        {QStringLiteral("format"),
         QCommandLineOption({QStringLiteral("f"), QStringLiteral("format")},
                            QStringLiteral("poll: text (default), csv or json (a line each)."),
                            QStringLiteral("format"))},
        {QStringLiteral("interval"),
         QCommandLineOption(QStringLiteral("interval"),
                            QStringLiteral("set: refresh interval, 5 to 60 seconds."),
                            QStringLiteral("seconds"))},
        {QStringLiteral("divider"),
         QCommandLineOption(QStringLiteral("divider"),
                            QStringLiteral("set: pulse divider, 1 to 10."), value)},
        {QStringLiteral("country"),
         QCommandLineOption(QStringLiteral("country"),
                            QStringLiteral("set: nl (Nederland) or be (Belgie)."), value)},
        {QStringLiteral("protocol"),
         QCommandLineOption(QStringLiteral("protocol"),
                            QStringLiteral("set: DSMR protocol version 2, 4 or 5."), value)},
        {QStringLiteral("follow"),
         QCommandLineOption(QStringLiteral("follow"),
                            QStringLiteral("debug-log: keep reading until Ctrl-C."))},
        {QStringLiteral("output"),
         QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")},
                            QStringLiteral("debug-log: write the log to FILE."),
                            QStringLiteral("FILE"))},
        {QStringLiteral("online"),
         QCommandLineOption(
             QStringLiteral("online"),
             QStringLiteral("upgrade: the latest firmware of the firmware server."))},
        {QStringLiteral("hex"),
         QCommandLineOption(QStringLiteral("hex"),
                            QStringLiteral("upgrade: this Intel HEX file instead of the server's."),
                            QStringLiteral("FILE"))},
        {QStringLiteral("image-version"),
         QCommandLineOption(QStringLiteral("image-version"),
                            QStringLiteral("upgrade --hex: the version the file holds; the KDR31 "
                                           "reports it after the upgrade."),
                            QStringLiteral("A.B.C.D"))},
        {QStringLiteral("yes"),
         QCommandLineOption({QStringLiteral("y"), QStringLiteral("yes")},
                            QStringLiteral("upgrade: do not ask before uploading."))},
    };
    // Room for the options of later features (history database, MQTT) beside these.
    const OptionUse uses[] = {
        {"port", {C::Info, C::Poll, C::Set, C::DebugLog, C::Upgrade}},
        {"json", {C::Info}},
        {"count", {C::Poll}},
        {"format", {C::Poll}},
        {"interval", {C::Set}},
        {"divider", {C::Set}},
        {"country", {C::Set}},
        {"protocol", {C::Set}},
        {"follow", {C::DebugLog}},
        {"output", {C::DebugLog}},
        {"online", {C::Upgrade}},
        {"hex", {C::Upgrade}},
        {"image-version", {C::Upgrade}},
        {"yes", {C::Upgrade}},
    };
    for (const OptionUse& use : uses)
        parser.addOption(options.at(QLatin1String(use.name)));

    if (!parser.parse(arguments))
        return UsageError(parser.errorText());
    if (parser.isSet(help)) {
        ParsedCommandLine parsed;
        parsed.kind = ParsedCommandLine::Help;
        parsed.text = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        ParsedCommandLine parsed;
        parsed.kind = ParsedCommandLine::Version;
        return parsed;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return UsageError(QStringLiteral("no command given"));
    const std::optional<CliCommand> command = CommandNamed(positional.first());
    if (!command)
        return UsageError(QStringLiteral("unknown command \"%1\"").arg(positional.first()));
    if (positional.size() > 1)
        return UsageError(QStringLiteral("unexpected argument \"%1\"").arg(positional.at(1)));
    const QString commandName = positional.first();

    for (const OptionUse& use : uses) {
        const QString name = QLatin1String(use.name);
        bool allowed = false;
        for (const CliCommand c : use.commands)
            allowed = allowed || c == *command;
        if (!allowed && parser.isSet(options.at(name)))
            return UsageError(QStringLiteral("--%1 is not an option of %2").arg(name, commandName));
    }
    const auto get = [&](const char* name) {
        return parser.value(options.at(QLatin1String(name)));
    };
    const auto isSet = [&](const char* name) {
        return parser.isSet(options.at(QLatin1String(name)));
    };

    CliRequest request;
    request.command = *command;
    const bool needsPort = *command != C::Ports && *command != C::Scan;
    if (needsPort) {
        if (!isSet("port"))
            return UsageError(QStringLiteral("%1 needs the KDR31's port: give --port, for example "
                                             "--port /dev/ttyUSB0 (kdr31-cli scan finds it)")
                                  .arg(commandName));
        const std::optional<PortChoice> port = ParsePort(get("port"));
        if (!port)
            return UsageError(QStringLiteral("--port \"%1\" is not a port: give a number (5), a "
                                             "name (COM5) or a device path (/dev/ttyUSB0)")
                                  .arg(get("port")));
        request.port = *port;
    }

    request.json = isSet("json");
    if (isSet("count")) {
        bool ok = false;
        request.count = get("count").toLongLong(&ok);
        if (!ok || request.count < 1)
            return UsageError(
                QStringLiteral("--count takes a whole number of readings, 1 or more"));
    }
    if (isSet("format")) {
        const QString format = get("format").toLower();
        if (format == QLatin1String("text"))
            request.format = PollFormat::Text;
        else if (format == QLatin1String("csv"))
            request.format = PollFormat::Csv;
        else if (format == QLatin1String("json"))
            request.format = PollFormat::Json;
        else
            return UsageError(QStringLiteral("--format takes text, csv or json"));
    }

    // Checked as the MQTT set topic checks them, so both refuse the same values.
    for (const QString& name : SettingNames) {
        if (!parser.isSet(options.at(name)))
            continue;
        const QString refusal =
            SetSettingFromText(request.settings, name, parser.value(options.at(name)));
        if (!refusal.isEmpty())
            return UsageError(refusal + QStringLiteral("; nothing was sent"));
    }
    if (*command == C::Set && request.settings.IsEmpty())
        return UsageError(QStringLiteral("set needs a value to set: --interval, --divider, "
                                         "--country or --protocol"));

    request.follow = isSet("follow");
    request.output = get("output");
    if (isSet("output") && request.output.isEmpty())
        return UsageError(QStringLiteral("--output needs a file name"));

    request.online = isSet("online");
    request.hexFile = get("hex");
    request.yes = isSet("yes");
    if (*command == C::Upgrade) {
        if (request.online == isSet("hex"))
            return UsageError(QStringLiteral("upgrade needs either --online or --hex FILE"));
        if (isSet("hex") && request.hexFile.isEmpty())
            return UsageError(QStringLiteral("--hex needs a file name"));
        if (isSet("image-version")) {
            if (request.online)
                return UsageError(QStringLiteral("--image-version goes with --hex; --online "
                                                 "takes the version from the firmware server"));
            request.imageVersion = ParseVersion(get("image-version"));
            if (!request.imageVersion)
                return UsageError(
                    QStringLiteral("--image-version takes four numbers 0-255, like 1.2.4.0"));
        } else if (!request.online) {
            return UsageError(QStringLiteral("--hex needs --image-version A.B.C.D: the version "
                                             "the file holds, which the KDR31 reports afterwards"));
        }
    }

    ParsedCommandLine parsed;
    parsed.kind = ParsedCommandLine::Run;
    parsed.request = request;
    return parsed;
}
