#include "cli/CliOptions.h"
#include "cli/ConfigFile.h"

#include "device_link/MSComm.h"
#include "history/HistoryExport.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <cmath>
#include <map>
#include <sys/stat.h>

QString PortChoice::Device() const {
    return IsPath() ? path : MSComm::DevicePath(number);
}

QString PortChoice::Display() const {
    if (IsPath())
        return path;
    const QString name = QStringLiteral("COM%1").arg(number);
    const QString device = Device();
    if (device.isEmpty())
        return name;
    return device == name ? name : QStringLiteral("%1 (%2)").arg(name, device);
}

std::optional<PortChoice> ParsePort(const QString& text) {
    static const QRegularExpression numbered(QStringLiteral("^(?:COM)?([0-9]{1,3}):?$"),
                                             QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = numbered.match(text);
    if (match.hasMatch()) {
        const int number = match.captured(1).toInt();
        // The ports the window lists; 99 and above mean something else to the device layer.
        if (number < 1 || number > 32)
            return std::nullopt;
        return PortChoice{number, {}};
    }
    if (text.contains(QLatin1Char('/')) || text.startsWith(QLatin1String("\\\\.\\")))
        return PortChoice{1, text};
    return std::nullopt;
}

namespace {

// A file that holds a secret (the broker's password, the HTTP token) is refused, as ssh refuses a
// private key, when any account may read it or an account other than its owner may write it:
// then the secret is anyone's, or anyone may choose it. Its group may read it, so that root owns
// it and the service's group reads it (root:kdr31, 0640). Empty when the file is fine, or when
// it cannot be examined (its reader then says why it cannot be read).
QString SecretFileProblem(const QString& option, const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    const mode_t mode = info.st_mode & 07777;
    const bool read = (mode & S_IROTH) != 0;
    const bool written = (mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!read && !written)
        return {};
    const QString who = read && written
                            ? QStringLiteral("any account may read it and others than its owner "
                                             "may change it")
                        : read ? QStringLiteral("any account may read it")
                               : QStringLiteral("others than its owner may change it");
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    const QString octal = QStringLiteral("%1").arg(uint(mode), 4, 8, QLatin1Char('0'));
    const QString mended = QStringLiteral("%1").arg(uint(mode & (S_IRUSR | S_IWUSR | S_IRGRP)), 3,
                                                    8, QLatin1Char('0'));
    // One arg() for all: a path may hold "%1" itself.
    return QStringLiteral("--%1 %2: %3 (mode %4), and it holds a secret; mend it with: chmod %5 "
                          "'%6'")
        .arg(option, path, who, octal, mended, quoted);
}

} // namespace

std::optional<qint64> ParseTime(const QString& text, bool endOfDay) {
    return ParseHistoryTime(text, endOfDay);
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
    "                            [--count N] [--format text|csv|json] [--wait]; Ctrl-C stops;\n"
    "                            recorded in the history [--db PATH | --no-db];\n"
    "                            published with --mqtt URL [--mqtt-...]; the capacity\n"
    "                            tariff [--peak-target W] [--capacity-price EUR]; served\n"
    "                            with --http [ADDRESS:]PORT [--http-...]; firmware upgrades\n"
    "                            on request [--http-allow-upgrade] [--mqtt-allow-upgrade]\n"
    "  set       --port P        [--interval 5-60] [--divider 1-10] [--country nl|be]\n"
    "                            [--protocol 2|4|5], then the values the device reports\n"
    "  debug-log --port P        the device's debug log, byte for byte\n"
    "                            [--follow] [--output FILE]\n"
    "  upgrade   --port P        (--online | --hex FILE --image-version A.B.C.D) [--yes];\n"
    "                            Ctrl-C during the upload cancels it\n"
    "  export    --from T --to T the history of [from, to) as CSV, as poll --format csv\n"
    "                            [--serial S] [--db PATH] [--output FILE]\n"
    "  peak                      the month's highest quarter-hour of import power, the\n"
    "                            incomplete quarter-hours, the twelve months billed and their\n"
    "                            mean [--month YYYY-MM] [--serial S] [--db PATH] [--json]\n"
    "                            [--capacity-price EUR]\n"
    "\n"
    "P is a port number 1-32 (5, as COM5), a name (COM5) or a device path (/dev/ttyUSB0,\n"
    "/dev/serial/by-id/...).\n"
    "T is a date (2026-01-31: --from at its start, --to at its end) or a local or ISO 8601\n"
    "time (2026-01-31T18:00, 2026-01-31T18:00:00+01:00).\n"
    "The history is the one the window keeps, unless --db names another database.\n"
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
        {QStringLiteral("export"), CliCommand::Export},
        {QStringLiteral("peak"), CliCommand::Peak},
    };
    const auto it = commands.find(name);
    if (it == commands.end())
        return std::nullopt;
    return it->second;
}

// A household's threshold below 100 W is watts given as kilowatts ("4" for 4 kW); above
// 100 kW no household connection reaches it.
constexpr int MinPeakTargetW = 100;
constexpr int MaxPeakTargetW = 100'000;
// Grid operators ask tens of euros per kW per year; a thousand is a typing error.
constexpr int MaxCapacityPrice = 1000;

// A number with a decimal point (never a comma, whatever the locale) within [low, high].
std::optional<double> ParseAmount(const QString& text, double low, double high) {
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        return std::nullopt;
    return value;
}

ParsedCommandLine UsageError(const QString& text) {
    ParsedCommandLine parsed;
    parsed.kind = ParsedCommandLine::Usage;
    parsed.text = text + QStringLiteral(" (kdr31-cli --help lists the commands and options)");
    return parsed;
}

} // namespace

static ParsedCommandLine ParseArguments(const QStringList& arguments) {
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
         QCommandLineOption(QStringLiteral("json"),
                            QStringLiteral("info, peak: as one JSON object."))},
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
        {QStringLiteral("wait"),
         QCommandLineOption(QStringLiteral("wait"),
                            QStringLiteral("poll: wait for a KDR31 that is absent or silent at "
                                           "the start instead of ending (a service at boot)."))},
        {QStringLiteral("follow"),
         QCommandLineOption(QStringLiteral("follow"),
                            QStringLiteral("debug-log: keep reading until Ctrl-C."))},
        {QStringLiteral("output"),
         QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")},
                            QStringLiteral("debug-log, export: write to FILE."),
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
        {QStringLiteral("db"),
         QCommandLineOption(QStringLiteral("db"),
                            QStringLiteral("poll, export, peak: this history database instead "
                                           "of the user's own."),
                            QStringLiteral("PATH"))},
        {QStringLiteral("no-db"),
         QCommandLineOption(QStringLiteral("no-db"),
                            QStringLiteral("poll: record nothing in the history."))},
        {QStringLiteral("from"),
         QCommandLineOption(QStringLiteral("from"),
                            QStringLiteral("export: start of the period (date or time)."),
                            QStringLiteral("T"))},
        {QStringLiteral("to"),
         QCommandLineOption(QStringLiteral("to"),
                            QStringLiteral("export: end of the period, not included; a date "
                                           "alone takes in that day."),
                            QStringLiteral("T"))},
        {QStringLiteral("serial"),
         QCommandLineOption(QStringLiteral("serial"),
                            QStringLiteral("export, peak: only the KDR31 with this serial number."),
                            QStringLiteral("S"))},
        {QStringLiteral("month"),
         QCommandLineOption(QStringLiteral("month"),
                            QStringLiteral("peak: the month (default: this month)."),
                            QStringLiteral("YYYY-MM"))},
        {QStringLiteral("config"),
         QCommandLineOption(QStringLiteral("config"),
                            QStringLiteral("poll: options from FILE, one \"key = value\" a "
                                           "line; the command line wins."),
                            QStringLiteral("FILE"))},
        {QStringLiteral("http"),
         QCommandLineOption(QStringLiteral("http"),
                            QStringLiteral("poll: serve the readings over HTTP on [ADDRESS:]PORT "
                                           "(address 127.0.0.1 unless named)."),
                            QStringLiteral("ADDRESS:PORT"))},
        {QStringLiteral("http-allow-settings"),
         QCommandLineOption(QStringLiteral("http-allow-settings"),
                            QStringLiteral("poll --http: take PUT /api/v1/settings (with "
                                           "--http-token-file)."))},
        {QStringLiteral("http-token-file"),
         QCommandLineOption(QStringLiteral("http-token-file"),
                            QStringLiteral("poll --http: the bearer token for settings and "
                                           "upgrades, first line of FILE."),
                            QStringLiteral("FILE"))},
        {QStringLiteral("http-allow-upgrade"),
         QCommandLineOption(QStringLiteral("http-allow-upgrade"),
                            QStringLiteral("poll --http: take POST /api/v1/firmware/upgrade (with "
                                           "--http-token-file): the firmware server's firmware "
                                           "is installed between two readings."))},
        {QStringLiteral("peak-target"),
         QCommandLineOption(QStringLiteral("peak-target"),
                            QStringLiteral("poll: warn when a quarter-hour heads above W watts "
                                           "instead of above the month's peak so far."),
                            QStringLiteral("W"))},
        {QStringLiteral("capacity-price"),
         QCommandLineOption(QStringLiteral("capacity-price"),
                            QStringLiteral("poll, peak: the capacity tariff's price in EUR per kW "
                                           "per year, for the year's cost at the billed peak."),
                            QStringLiteral("EUR"))},
        {QStringLiteral("http-host"),
         QCommandLineOption(QStringLiteral("http-host"),
                            QStringLiteral("poll --http: also answer requests made to NAME "
                                           "(repeatable); IP addresses, localhost and this "
                                           "machine's host name are always answered."),
                            QStringLiteral("NAME"))},
        {QStringLiteral("http-proxy"),
         QCommandLineOption(QStringLiteral("http-proxy"),
                            QStringLiteral("poll --http: requests from ADDRESS come through a "
                                           "reverse proxy, which names the client in X-Real-IP "
                                           "(repeatable)."),
                            QStringLiteral("ADDRESS"))},
    };
    const OptionUse uses[] = {
        {"port", {C::Info, C::Poll, C::Set, C::DebugLog, C::Upgrade}},
        {"json", {C::Info, C::Peak}},
        {"count", {C::Poll}},
        {"format", {C::Poll}},
        {"interval", {C::Set}},
        {"divider", {C::Set}},
        {"country", {C::Set}},
        {"protocol", {C::Set}},
        {"follow", {C::DebugLog}},
        {"output", {C::DebugLog, C::Export}},
        {"online", {C::Upgrade}},
        {"hex", {C::Upgrade}},
        {"image-version", {C::Upgrade}},
        {"yes", {C::Upgrade}},
        {"db", {C::Poll, C::Export, C::Peak}},
        {"no-db", {C::Poll}},
        {"wait", {C::Poll}},
        {"from", {C::Export}},
        {"to", {C::Export}},
        {"serial", {C::Export, C::Peak}},
        {"month", {C::Peak}},
        {"config", {C::Poll}},
        {"http", {C::Poll}},
        {"http-allow-settings", {C::Poll}},
        {"http-token-file", {C::Poll}},
        {"http-allow-upgrade", {C::Poll}},
        {"peak-target", {C::Poll}},
        {"capacity-price", {C::Poll, C::Peak}},
        {"http-host", {C::Poll}},
        {"http-proxy", {C::Poll}},
    };
    for (const OptionUse& use : uses)
        parser.addOption(options.at(QLatin1String(use.name)));
    // --mqtt and the options around it, for poll only.
    AddMqttOptions(parser);

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
        return UsageError(
            QStringLiteral("unknown command \"%1\"").arg(RedactedMqttUrl(positional.first())));
    if (positional.size() > 1)
        return UsageError(
            QStringLiteral("unexpected argument \"%1\"").arg(RedactedMqttUrl(positional.at(1))));
    const QString commandName = positional.first();

    for (const OptionUse& use : uses) {
        const QString name = QLatin1String(use.name);
        bool allowed = false;
        for (const CliCommand c : use.commands)
            allowed = allowed || c == *command;
        if (!allowed && parser.isSet(options.at(name)))
            return UsageError(QStringLiteral("--%1 is not an option of %2").arg(name, commandName));
    }
    if (*command != C::Poll) {
        for (const QString& name : parser.optionNames())
            if (name.startsWith(QLatin1String("mqtt")))
                return UsageError(
                    QStringLiteral("--%1 is not an option of %2").arg(name, commandName));
    }
    const auto get = [&](const char* name) {
        return parser.value(options.at(QLatin1String(name)));
    };
    const auto isSet = [&](const char* name) {
        return parser.isSet(options.at(QLatin1String(name)));
    };

    CliRequest request;
    request.command = *command;
    const bool needsPort =
        *command != C::Ports && *command != C::Scan && *command != C::Export && *command != C::Peak;
    if (needsPort) {
        if (!isSet("port"))
            return UsageError(QStringLiteral("%1 needs the KDR31's port: give --port, for example "
                                             "--port /dev/ttyUSB0 (kdr31-cli scan finds it)")
                                  .arg(commandName));
        const std::optional<PortChoice> port = ParsePort(get("port"));
        if (!port)
            return UsageError(QStringLiteral("--port \"%1\" is not a port: give a number 1-32 (5), "
                                             "a name (COM5) or a device path (/dev/ttyUSB0)")
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

    if (*command == C::Poll) {
        MqttOptions mqtt;
        QString error;
        switch (ReadMqttOptions(parser, mqtt, error)) {
        case MqttOptionsStatus::NotRequested:
            break;
        case MqttOptionsStatus::Valid:
            request.mqtt = mqtt;
            break;
        case MqttOptionsStatus::Invalid:
            return UsageError(error);
        }
        const QString passwordFile = QStringLiteral("mqtt-password-file");
        if (request.mqtt && parser.isSet(passwordFile)) {
            const QString problem = SecretFileProblem(passwordFile, parser.value(passwordFile));
            if (!problem.isEmpty())
                return UsageError(problem);
        }
    }
    if (isSet("http")) {
        HttpOptions http;
        QString error;
        if (!ParseHttpListen(get("http"), http, error))
            return UsageError(QStringLiteral("--http: %1").arg(error));
        if (isSet("http-token-file")) {
            const QString problem =
                SecretFileProblem(QStringLiteral("http-token-file"), get("http-token-file"));
            if (!problem.isEmpty())
                return UsageError(problem);
        }
        if (isSet("http-token-file") &&
            !ReadHttpTokenFile(get("http-token-file"), http.token, error))
            return UsageError(QStringLiteral("--http-token-file: %1").arg(error));
        for (const QString& name : parser.values(options.at(QStringLiteral("http-host"))))
            if (!AdmitHttpHost(name, http, error))
                return UsageError(QStringLiteral("--http-host: %1").arg(error));
        for (const QString& address : parser.values(options.at(QStringLiteral("http-proxy"))))
            if (!AdmitHttpProxy(address, http, error))
                return UsageError(QStringLiteral("--http-proxy: %1").arg(error));
        http.allowSettings = isSet("http-allow-settings");
        if (http.allowSettings && http.token.isEmpty())
            return UsageError(QStringLiteral("--http-allow-settings needs --http-token-file FILE: "
                                             "settings are taken only with its token"));
        http.allowUpgrade = isSet("http-allow-upgrade");
        if (http.allowUpgrade && http.token.isEmpty())
            return UsageError(QStringLiteral("--http-allow-upgrade needs --http-token-file FILE: "
                                             "upgrades are taken only with its token"));
        request.http = http;
    } else if (isSet("http-allow-settings") || isSet("http-token-file") || isSet("http-host") ||
               isSet("http-allow-upgrade") || isSet("http-proxy")) {
        return UsageError(QStringLiteral("--http-allow-settings, --http-allow-upgrade, "
                                         "--http-token-file, --http-host and --http-proxy go "
                                         "with --http [ADDRESS:]PORT"));
    }

    if (isSet("peak-target")) {
        request.peakTargetW = ParseAmount(get("peak-target"), MinPeakTargetW, MaxPeakTargetW);
        if (!request.peakTargetW)
            return UsageError(QStringLiteral("--peak-target takes watts, %1 to %2, like 4000 for "
                                             "4 kW")
                                  .arg(MinPeakTargetW)
                                  .arg(MaxPeakTargetW));
    }
    if (isSet("capacity-price")) {
        request.capacityPrice = ParseAmount(get("capacity-price"), 0, MaxCapacityPrice);
        if (!request.capacityPrice)
            return UsageError(QStringLiteral("--capacity-price takes euros per kW per year, 0 to "
                                             "%1, like 45.50")
                                  .arg(MaxCapacityPrice));
    }

    request.database = get("db");
    request.noDatabase = isSet("no-db");
    if (isSet("db") && request.database.isEmpty())
        return UsageError(QStringLiteral("--db needs the path of a history database"));
    if (request.noDatabase && isSet("db"))
        return UsageError(QStringLiteral("give --db PATH or --no-db, not both"));

    if (*command == C::Export) {
        if (!isSet("from") || !isSet("to"))
            return UsageError(QStringLiteral("export needs the period: --from and --to, for "
                                             "example --from 2026-01-01 --to 2026-01-31"));
        const std::optional<qint64> from = ParseTime(get("from"), false);
        const std::optional<qint64> to = ParseTime(get("to"), true);
        for (const auto& [name, time] : {std::pair{"from", from}, std::pair{"to", to}})
            if (!time)
                return UsageError(QStringLiteral("--%1 \"%2\" is not a date or a time: give "
                                                 "2026-01-31, 2026-01-31T18:00 or "
                                                 "2026-01-31T18:00:00+01:00")
                                      .arg(QLatin1String(name), get(name)));
        if (*to <= *from)
            return UsageError(QStringLiteral("--to must come after --from"));
        request.fromMs = *from;
        request.toMs = *to;
    }
    if (isSet("serial"))
        request.serial = get("serial");
    if (isSet("month")) {
        static const QRegularExpression monthForm(QStringLiteral("^(\\d{4})-(\\d{2})$"));
        const QRegularExpressionMatch match = monthForm.match(get("month"));
        const int month = match.hasMatch() ? match.captured(2).toInt() : 0;
        if (month < 1 || month > 12)
            return UsageError(QStringLiteral("--month takes a year and a month, like 2026-01"));
        request.year = match.captured(1).toInt();
        request.month = month;
    }

    request.follow = isSet("follow");
    request.wait = isSet("wait");
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

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    return ParseWithConfigFile(arguments, ParseArguments);
}
