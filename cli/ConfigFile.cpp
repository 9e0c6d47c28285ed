#include "cli/ConfigFile.h"

#include <QFile>
#include <QRegularExpression>
#include <optional>

namespace {

// Bounds for a file that root writes but anyone may have copied from anywhere: a handful of
// options, never a megabyte.
constexpr qint64 MaxFileBytes = 64 * 1024;
constexpr int MaxLineLength = 4096;

const QString ConfigOption = QStringLiteral("--config");

struct Entry {
    QString key;
    std::optional<QString> value; // none for a switch
    int line = 0;
};

ParsedCommandLine Usage(const QString& text) {
    ParsedCommandLine parsed;
    parsed.kind = ParsedCommandLine::Usage;
    parsed.text = text;
    return parsed;
}

// The file named by the last --config of the command line, or nothing.
std::optional<QString> ConfigPath(const QStringList& arguments, bool& missingValue) {
    std::optional<QString> path;
    missingValue = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--"))
            break;
        if (argument == ConfigOption) {
            if (i + 1 >= arguments.size()) {
                missingValue = true;
                return std::nullopt;
            }
            path = arguments.at(++i);
        } else if (argument.startsWith(ConfigOption + QLatin1Char('='))) {
            path = argument.mid(ConfigOption.size() + 1);
        }
    }
    return path;
}

// The entries of the file, or a usage error text naming the file and the line.
std::optional<QList<Entry>> ReadEntries(const QString& path, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("--config %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = file.read(MaxFileBytes + 1);
    if (bytes.size() > MaxFileBytes) {
        error = QStringLiteral("--config %1: larger than %2 KiB; this is not a configuration "
                               "file")
                    .arg(path)
                    .arg(MaxFileBytes / 1024);
        return std::nullopt;
    }
    static const QRegularExpression keyForm(QStringLiteral("^[a-z][a-z0-9-]*$"));
    QList<Entry> entries;
    const QList<QByteArray> lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const auto fail = [&](const QString& why) {
            error = QStringLiteral("%1:%2: %3").arg(path).arg(i + 1).arg(why);
            return std::nullopt;
        };
        QByteArray raw = lines.at(i);
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.size() > MaxLineLength)
            return fail(QStringLiteral("the line is longer than %1 characters").arg(MaxLineLength));
        if (raw.contains('\0'))
            return fail(QStringLiteral("the line holds a NUL byte"));
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        Entry entry;
        entry.line = i + 1;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        entry.key = (equals < 0 ? line : line.left(equals)).trimmed();
        if (equals >= 0)
            entry.value = line.mid(equals + 1).trimmed();
        if (entry.key.startsWith(QLatin1String("--")))
            entry.key = entry.key.mid(2);
        if (!keyForm.match(entry.key).hasMatch())
            return fail(QStringLiteral("expected \"option = value\" or an option alone, like "
                                       "\"mqtt = mqtt://host\" or \"no-db\""));
        if (entry.key == QLatin1String("config"))
            return fail(QStringLiteral("a configuration file cannot name another one"));
        entries.append(entry);
    }
    return entries;
}

QString AsArgument(const Entry& entry) {
    return entry.value ? QStringLiteral("--%1=%2").arg(entry.key, *entry.value)
                       : QStringLiteral("--") + entry.key;
}

// Whether the error names this option: "--key" not followed by more of an option name, or
// Qt's "'key'" of an unknown option or a missing or unexpected value.
qsizetype WhereNamed(const QString& error, const QString& key) {
    const QRegularExpression named(
        QStringLiteral("(--%1(?![a-z0-9-])|'%1')").arg(QRegularExpression::escape(key)));
    const QRegularExpressionMatch match = named.match(error);
    return match.hasMatch() ? match.capturedStart() : -1;
}

} // namespace

ParsedCommandLine
ParseWithConfigFile(const QStringList& arguments,
                    const std::function<ParsedCommandLine(const QStringList&)>& parse) {
    bool missingValue = false;
    const std::optional<QString> path = ConfigPath(arguments, missingValue);
    if (!path)
        return parse(arguments); // the parser names a --config without its file
    QString error;
    const std::optional<QList<Entry>> entries = ReadEntries(*path, error);
    if (!entries)
        return Usage(error);

    // A key alone is a switch; for an option that takes a value the parser would take the next
    // argument as its value, so a bare key is checked first, on its own.
    for (const Entry& entry : *entries) {
        if (entry.value)
            continue;
        const ParsedCommandLine alone = parse({arguments.value(0), AsArgument(entry)});
        if (alone.kind == ParsedCommandLine::Usage && WhereNamed(alone.text, entry.key) >= 0 &&
            alone.text.contains(QLatin1String("Missing value")))
            return Usage(QStringLiteral("%1:%2: %3 needs a value: \"%3 = ...\"")
                             .arg(*path)
                             .arg(entry.line)
                             .arg(entry.key));
    }

    QStringList expanded{arguments.value(0)};
    for (const Entry& entry : *entries)
        expanded.append(AsArgument(entry));
    expanded += arguments.mid(1);
    ParsedCommandLine parsed = parse(expanded);
    if (parsed.kind != ParsedCommandLine::Usage)
        return parsed;

    // The error is the file's when the option it names first came from the file and not also
    // from the command line, whose value would have won.
    const Entry* culprit = nullptr;
    qsizetype first = -1;
    for (const Entry& entry : *entries) {
        const qsizetype at = WhereNamed(parsed.text, entry.key);
        if (at < 0 || (first >= 0 && at > first))
            continue;
        const QString option = QStringLiteral("--") + entry.key;
        bool onCommandLine = false;
        for (const QString& argument : arguments.mid(1))
            onCommandLine = onCommandLine || argument == option ||
                            argument.startsWith(option + QLatin1Char('='));
        if (onCommandLine)
            continue;
        culprit = &entry; // the last line of a key is the one that counts
        first = at;
    }
    if (culprit)
        parsed.text = QStringLiteral("%1:%2: %3").arg(*path).arg(culprit->line).arg(parsed.text);
    return parsed;
}

std::optional<QString> ConfigFileValue(const QByteArray& text, const QString& key) {
    std::optional<QString> value;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        QString name = (equals < 0 ? line : line.left(equals)).trimmed();
        if (name.startsWith(QLatin1String("--")))
            name = name.mid(2);
        if (name == key)
            value = equals < 0 ? QString() : line.mid(equals + 1).trimmed();
    }
    return value;
}
