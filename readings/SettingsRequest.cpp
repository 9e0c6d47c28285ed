#include "readings/SettingsRequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <cmath>

namespace {

QString Refusal(const QString& name, const QString& text, const char* expected) {
    return QStringLiteral("%1: \"%2\" is not %3").arg(name, text, QLatin1String(expected));
}

// A whole number written in decimal digits, optionally signed; nothing else.
std::optional<int> WholeNumber(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

} // namespace

QString SetSettingFromText(SettingsRequest& request, const QString& name, const QString& text) {
    if (name == QLatin1String("interval")) {
        const auto value = WholeNumber(text);
        if (!value || *value < 5 || *value > 60)
            return Refusal(name, text, "a whole number of seconds from 5 to 60");
        request.interval = *value;
        return {};
    }
    if (name == QLatin1String("divider")) {
        const auto value = WholeNumber(text);
        if (!value || *value < 1 || *value > 10)
            return Refusal(name, text, "a whole number from 1 to 10");
        request.divider = *value;
        return {};
    }
    if (name == QLatin1String("country")) {
        const QString code = text.trimmed().toLower();
        if (code == QLatin1String("nl"))
            request.country = 1;
        else if (code == QLatin1String("be"))
            request.country = 2;
        else
            return Refusal(name, text, "nl or be");
        return {};
    }
    if (name == QLatin1String("protocol")) {
        const auto value = WholeNumber(text);
        if (!value || (*value != 2 && *value != 4 && *value != 5))
            return Refusal(name, text, "2, 4 or 5");
        request.protocol = *value;
        return {};
    }
    return QStringLiteral("unknown setting \"%1\" (known: %2)")
        .arg(name, SettingNames.join(QStringLiteral(", ")));
}

SettingsRequestResult ParseSettingsJson(const QByteArray& json) {
    SettingsRequestResult result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) {
        result.refusals << QStringLiteral("not JSON: %1 at offset %2")
                               .arg(error.errorString())
                               .arg(error.offset);
        return result;
    }
    if (!document.isObject()) {
        result.refusals << QStringLiteral("not a JSON object");
        return result;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        QString text;
        if (value.isString()) {
            text = value.toString();
        } else if (value.isDouble()) {
            const double number = value.toDouble();
            // 30.0 is 30; 30.5 must not become 30 on its way to the text check.
            text = std::floor(number) == number && std::fabs(number) < 1e9
                       ? QString::number(static_cast<qint64>(number))
                       : QString::number(number);
        } else if (value.isBool()) {
            text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        } else if (value.isArray() || value.isObject()) {
            const QJsonDocument inner =
                value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
            text = QString::fromUtf8(inner.toJson(QJsonDocument::Compact));
        } else {
            text = QStringLiteral("null");
        }
        const QString refusal = SetSettingFromText(result.request, it.key(), text);
        if (!refusal.isEmpty())
            result.refusals << refusal;
    }
    if (result.refusals.isEmpty() && result.request.IsEmpty())
        result.refusals << QStringLiteral("no setting given (known: %1)")
                               .arg(SettingNames.join(QStringLiteral(", ")));
    return result;
}

DeviceSettingValues ApplySettingsRequest(const DeviceSettingValues& current,
                                         const SettingsRequest& request) {
    DeviceSettingValues values = current;
    values.interval = request.interval.value_or(values.interval);
    values.country = request.country.value_or(values.country);
    values.protocol = request.protocol.value_or(values.protocol);
    values.divider = request.divider.value_or(values.divider);
    return values;
}

bool RequestChangesNothing(const DeviceSettingValues& reported, const SettingsRequest& request) {
    const auto same = [](const std::optional<int>& wanted, int now) {
        return !wanted || *wanted == now;
    };
    return same(request.interval, reported.interval) && same(request.country, reported.country) &&
           same(request.protocol, reported.protocol) && same(request.divider, reported.divider);
}

QJsonObject SettingsRequestJson(const SettingsRequest& request) {
    QJsonObject object;
    if (request.interval)
        object.insert(QStringLiteral("interval"), *request.interval);
    if (request.divider)
        object.insert(QStringLiteral("divider"), *request.divider);
    if (request.country)
        object.insert(QStringLiteral("country"),
                      *request.country == 1 ? QStringLiteral("nl") : QStringLiteral("be"));
    if (request.protocol)
        object.insert(QStringLiteral("protocol"), *request.protocol);
    return object;
}
