#include "mqtt/MqttOptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QUrl>

namespace {

const QString OptionUrl = QStringLiteral("mqtt");
const QString OptionCa = QStringLiteral("mqtt-ca");
const QString OptionPasswordFile = QStringLiteral("mqtt-password-file");
const QString OptionPrefix = QStringLiteral("mqtt-prefix");
const QString OptionDiscoveryPrefix = QStringLiteral("mqtt-discovery-prefix");
const QString OptionAllowSettings = QStringLiteral("mqtt-allow-settings");
const QString OptionAllowUpgrade = QStringLiteral("mqtt-allow-upgrade");

const QString UrlForm = QStringLiteral("mqtt://[user[:password]@]host[:port] or mqtts://...");

} // namespace

QString RedactedMqttUrl(const QString& text) {
    // Read as loosely as a person types: a URL that QUrl refuses may hold a password all the
    // same ("mqtt://me:pa/ss@host", "me:secret@host", "mqtt://me:secret").
    const qsizetype scheme = text.indexOf(QLatin1String("://"));
    const qsizetype start = scheme < 0 ? 0 : scheme + 3;
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    if (at >= start) {
        const qsizetype colon = text.indexOf(QLatin1Char(':'), start);
        if (colon < 0 || colon > at)
            return text;
        return text.left(colon + 1) + QStringLiteral("***") + text.mid(at);
    }
    // No user part: what follows a ':' after the host is a port, unless it is not a number.
    qsizetype end = start;
    while (end < text.size() && text[end] != QLatin1Char('/') && text[end] != QLatin1Char('?') &&
           text[end] != QLatin1Char('#'))
        ++end;
    const qsizetype colon = text.indexOf(QLatin1Char(':'), start);
    if (colon < 0 || colon >= end)
        return text;
    const QString port = text.mid(colon + 1, end - colon - 1);
    bool number = false;
    port.toUInt(&number);
    return number || port.isEmpty() ? text : text.left(colon + 1) + QStringLiteral("***");
}

bool ParseMqttUrl(const QString& text, MqttOptions& options, QString& error) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const auto fail = [&](const QString& why) {
        error =
            QStringLiteral("--mqtt %1: %2; expected %3").arg(RedactedMqttUrl(text), why, UrlForm);
        return false;
    };
    // QUrl's own reason quotes the URL, password and all.
    if (!url.isValid())
        return fail(QStringLiteral("not a URL (a port above 65535, or a character that must be "
                                   "percent-encoded in the user or password)"));
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        return fail(scheme.isEmpty() ? QStringLiteral("no scheme")
                                     : QStringLiteral("unknown scheme \"%1\"").arg(scheme));
    if (url.host().isEmpty())
        return fail(QStringLiteral("no host"));
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return fail(QStringLiteral("a path (\"%1\") has no meaning here").arg(url.path()));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("a query or fragment has no meaning here"));
    // QUrl reads "host:0" as port 0 and an unparsable port as invalid; 0 is no port.
    if (url.port() == 0)
        return fail(QStringLiteral("port 0"));

    options.tls = scheme == QLatin1String("mqtts");
    options.host = url.host();
    options.port =
        static_cast<quint16>(url.port(options.tls ? MqttDefaultTlsPort : MqttDefaultPort));
    options.user = url.userName(QUrl::FullyDecoded);
    options.password = url.password(QUrl::FullyDecoded);
    if (options.user.isEmpty() && !options.password.isEmpty())
        return fail(QStringLiteral("a password without a user"));
    return true;
}

QString CheckTopicPrefix(const QString& prefix, const QString& optionName) {
    QString why;
    if (prefix.isEmpty())
        why = QStringLiteral("is empty");
    else if (prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#')))
        why = QStringLiteral("holds a wildcard (+ or #)");
    else if (prefix.contains(QChar(0)))
        why = QStringLiteral("holds a NUL character");
    else if (prefix.startsWith(QLatin1Char('/')) || prefix.endsWith(QLatin1Char('/')))
        why = QStringLiteral("begins or ends with /");
    if (why.isEmpty())
        return {};
    return QStringLiteral("--%1 \"%2\" %3").arg(optionName, prefix, why);
}

bool ReadPasswordFile(const QString& path, QString& password, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("--mqtt-password-file %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        error = QStringLiteral("--mqtt-password-file %1: the first line is empty").arg(path);
        return false;
    }
    password = QString::fromUtf8(line);
    return true;
}

void AddMqttOptions(QCommandLineParser& parser) {
    parser.addOption(
        {OptionUrl,
         QStringLiteral("Publish every reading to the MQTT broker at URL: %1.").arg(UrlForm),
         QStringLiteral("URL")});
    parser.addOption({OptionCa,
                      QStringLiteral("With mqtts://, trust the CA certificate(s) in FILE instead "
                                     "of the system's."),
                      QStringLiteral("FILE")});
    parser.addOption({OptionPasswordFile,
                      QStringLiteral("Read the broker password from the first line of FILE, so "
                                     "it does not show in the process list."),
                      QStringLiteral("FILE")});
    parser.addOption({OptionPrefix,
                      QStringLiteral("Topic prefix: <prefix>/<serial>/state, .../availability "
                                     "(default kdr31)."),
                      QStringLiteral("PREFIX"), QStringLiteral("kdr31")});
    parser.addOption({OptionDiscoveryPrefix,
                      QStringLiteral("Home Assistant discovery prefix (default homeassistant)."),
                      QStringLiteral("PREFIX"), QStringLiteral("homeassistant")});
    parser.addOption(
        {OptionAllowSettings, QStringLiteral("Change the device's settings on messages to "
                                             "<prefix>/<serial>/set (off by default).")});
    parser.addOption({OptionAllowUpgrade,
                      QStringLiteral("Upgrade the device's firmware from the firmware server when "
                                     "Home Assistant's update entity is told to install (off by "
                                     "default).")});
}

MqttOptionsStatus ReadMqttOptions(const QCommandLineParser& parser, MqttOptions& options,
                                  QString& error) {
    const QStringList others{OptionCa,
                             OptionPasswordFile,
                             OptionPrefix,
                             OptionDiscoveryPrefix,
                             OptionAllowSettings,
                             OptionAllowUpgrade};
    if (!parser.isSet(OptionUrl)) {
        for (const QString& name : others) {
            if (parser.isSet(name)) {
                error = QStringLiteral("--%1 needs --mqtt URL").arg(name);
                return MqttOptionsStatus::Invalid;
            }
        }
        return MqttOptionsStatus::NotRequested;
    }
    MqttOptions parsed;
    if (!ParseMqttUrl(parser.value(OptionUrl), parsed, error))
        return MqttOptionsStatus::Invalid;
    if (parser.isSet(OptionCa)) {
        if (!parsed.tls) {
            error = QStringLiteral("--mqtt-ca needs an mqtts:// URL");
            return MqttOptionsStatus::Invalid;
        }
        parsed.caFile = parser.value(OptionCa);
        if (!QFile::exists(parsed.caFile)) {
            error = QStringLiteral("--mqtt-ca %1: no such file").arg(parsed.caFile);
            return MqttOptionsStatus::Invalid;
        }
    }
    if (parser.isSet(OptionPasswordFile)) {
        if (!parsed.password.isEmpty()) {
            error = QStringLiteral("give the password in the URL or in --mqtt-password-file, "
                                   "not both");
            return MqttOptionsStatus::Invalid;
        }
        if (parsed.user.isEmpty()) {
            error = QStringLiteral("--mqtt-password-file needs a user in the URL "
                                   "(mqtt://user@host)");
            return MqttOptionsStatus::Invalid;
        }
        if (!ReadPasswordFile(parser.value(OptionPasswordFile), parsed.password, error))
            return MqttOptionsStatus::Invalid;
    }
    parsed.prefix = parser.value(OptionPrefix);
    parsed.discoveryPrefix = parser.value(OptionDiscoveryPrefix);
    error = CheckTopicPrefix(parsed.prefix, OptionPrefix);
    if (error.isEmpty())
        error = CheckTopicPrefix(parsed.discoveryPrefix, OptionDiscoveryPrefix);
    if (!error.isEmpty())
        return MqttOptionsStatus::Invalid;
    parsed.allowSettings = parser.isSet(OptionAllowSettings);
    parsed.allowUpgrade = parser.isSet(OptionAllowUpgrade);
    options = parsed;
    return MqttOptionsStatus::Valid;
}
