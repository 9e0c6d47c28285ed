#include "mqtt/MqttMessages.h"

#include "mqtt/MqttOptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// How Home Assistant should see each field, in reply order (ReadingsFieldNames). The device's
// own units are kept (Wh, not kWh): the tool converts nothing, and Home Assistant's energy
// dashboard takes Wh as it is.
struct SensorKind {
    const char* name;
    const char* deviceClass; // nullptr: none
    const char* stateClass;  // nullptr: none (no long-term statistics)
    const char* unit;        // nullptr: none
    const char* icon;        // nullptr: the device class's own
};

// The "Diff." fields are the change since the meter's previous report, not a running total:
// neither a measurement nor an increasing total, so they carry no state class and stay out of
// the statistics. The pulse inputs count up, in pulses divided by the divider: no unit.
const std::array<SensorKind, ReadingsFieldCount> SensorKinds = {{
    {"Import power", "power", "measurement", "W", nullptr},
    {"Import high tariff", "energy", "total_increasing", "Wh", nullptr},
    {"Import low tariff", "energy", "total_increasing", "Wh", nullptr},
    {"Import difference", "energy", nullptr, "Wh", nullptr},
    {"Export power", "power", "measurement", "W", nullptr},
    {"Export high tariff", "energy", "total_increasing", "Wh", nullptr},
    {"Export low tariff", "energy", "total_increasing", "Wh", nullptr},
    {"Export difference", "energy", nullptr, "Wh", nullptr},
    {"Gas", "gas", "total_increasing", "m\u00b3", nullptr},
    {"Gas difference", "gas", nullptr, "m\u00b3", nullptr},
    {"Tariff", nullptr, nullptr, nullptr, "mdi:clock-outline"},
    {"Pulse input 1", nullptr, "total_increasing", nullptr, "mdi:counter"},
    {"Pulse input 2", nullptr, "total_increasing", nullptr, "mdi:counter"},
}};

} // namespace

QString SerialTopicLevel(const QString& serial) {
    if (serial.isEmpty())
        return QStringLiteral("unknown");
    QString level = serial;
    for (QChar& c : level) {
        const bool kept = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                          (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                          (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                          c == QLatin1Char('-') || c == QLatin1Char('_');
        if (!kept)
            c = QLatin1Char('_');
    }
    return level;
}

MqttTopics TopicsFor(const QString& prefix, const QString& serial) {
    const QString base = prefix + QLatin1Char('/') + SerialTopicLevel(serial);
    return {base + QStringLiteral("/state"), base + QStringLiteral("/availability"),
            base + QStringLiteral("/set"), base + QStringLiteral("/set/result")};
}

QJsonObject DiscoveryDevice(const QString& serial, const QString& firmwareVersion) {
    const QString level = SerialTopicLevel(serial);
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QStringLiteral("kdr31_") + level}},
        {QStringLiteral("name"), QStringLiteral("KDR31 ") + level},
        {QStringLiteral("model"), QStringLiteral("KDR31")}};
    if (!serial.isEmpty())
        device.insert(QStringLiteral("serial_number"), serial);
    if (!firmwareVersion.isEmpty())
        device.insert(QStringLiteral("sw_version"), firmwareVersion);
    return device;
}

std::vector<RetainedMessage> DiscoveryConfigs(const MqttOptions& options, const QString& serial,
                                              const QString& firmwareVersion) {
    const QString level = SerialTopicLevel(serial);
    const QString node = QStringLiteral("kdr31_") + level;
    const MqttTopics topics = TopicsFor(options.prefix, serial);

    const QJsonObject device = DiscoveryDevice(serial, firmwareVersion);

    std::vector<RetainedMessage> configs;
    for (size_t i = 0; i < SensorKinds.size(); ++i) {
        const SensorKind& kind = SensorKinds[i];
        const QString field = QLatin1String(ReadingsFieldNames[i]);
        QJsonObject config{
            {QStringLiteral("name"), QLatin1String(kind.name)},
            {QStringLiteral("unique_id"), node + QLatin1Char('_') + field},
            {QStringLiteral("state_topic"), topics.state},
            // A failed poll has no fields: "None" makes the sensor unknown for that reading
            // instead of a template error, and a counter does not read it as a reset.
            {QStringLiteral("value_template"),
             QStringLiteral("{{ value_json.%1 if value_json.status == 'ok' and value_json.%1 "
                            "is defined else None }}")
                 .arg(field)},
            {QStringLiteral("availability_topic"), topics.availability},
            {QStringLiteral("payload_available"), QString::fromLatin1(AvailabilityOnline)},
            {QStringLiteral("payload_not_available"), QString::fromLatin1(AvailabilityOffline)},
            {QStringLiteral("qos"), 1},
            {QStringLiteral("device"), device},
        };
        if (kind.deviceClass)
            config.insert(QStringLiteral("device_class"), QLatin1String(kind.deviceClass));
        if (kind.stateClass)
            config.insert(QStringLiteral("state_class"), QLatin1String(kind.stateClass));
        if (kind.unit)
            config.insert(QStringLiteral("unit_of_measurement"), QString::fromUtf8(kind.unit));
        if (kind.icon)
            config.insert(QStringLiteral("icon"), QLatin1String(kind.icon));
        configs.push_back({options.discoveryPrefix + QStringLiteral("/sensor/") + node +
                               QLatin1Char('/') + field + QStringLiteral("/config"),
                           QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    // The capacity tariff in kW, as Flemish bills and the grid operators' pages give it.
    for (const auto& [id, name, field] :
         {std::tuple{"quarter_hour_average", "Quarter-hour average power",
                     "quarter_hour_average_power_w"},
          std::tuple{"month_peak", "Month's quarter-hour peak", "month_peak_power_w"},
          std::tuple{"capacity_headroom", "Capacity headroom", "capacity_headroom_w"},
          std::tuple{"billed_peak", "Billed capacity peak", "billed_peak_w"}}) {
        const QJsonObject config{
            {QStringLiteral("name"), QLatin1String(name)},
            {QStringLiteral("unique_id"), node + QLatin1Char('_') + QLatin1String(id)},
            {QStringLiteral("state_topic"), topics.state},
            {QStringLiteral("value_template"),
             QStringLiteral("{{ (value_json.%1 / 1000) | round(3) if value_json.%1 is defined "
                            "else None }}")
                 .arg(QLatin1String(field))},
            {QStringLiteral("availability_topic"), topics.availability},
            {QStringLiteral("payload_available"), QString::fromLatin1(AvailabilityOnline)},
            {QStringLiteral("payload_not_available"), QString::fromLatin1(AvailabilityOffline)},
            {QStringLiteral("qos"), 1},
            {QStringLiteral("device"), device},
            {QStringLiteral("device_class"), QStringLiteral("power")},
            {QStringLiteral("state_class"), QStringLiteral("measurement")},
            {QStringLiteral("unit_of_measurement"), QStringLiteral("kW")},
        };
        configs.push_back({options.discoveryPrefix + QStringLiteral("/sensor/") + node +
                               QLatin1Char('/') + QLatin1String(id) + QStringLiteral("/config"),
                           QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    // The peak warning as a problem, on while the quarter-hour is on course for a new peak: what
    // an automation sends to a phone. A state without the flag (an implausible reading) makes it
    // unknown rather than off.
    {
        const QJsonObject config{
            {QStringLiteral("name"), QStringLiteral("Peak warning")},
            {QStringLiteral("unique_id"), node + QStringLiteral("_peak_warning")},
            {QStringLiteral("state_topic"), topics.state},
            {QStringLiteral("value_template"),
             QStringLiteral("{{ ('ON' if value_json.peak_warning else 'OFF') if "
                            "value_json.peak_warning is defined else None }}")},
            {QStringLiteral("payload_on"), QStringLiteral("ON")},
            {QStringLiteral("payload_off"), QStringLiteral("OFF")},
            {QStringLiteral("availability_topic"), topics.availability},
            {QStringLiteral("payload_available"), QString::fromLatin1(AvailabilityOnline)},
            {QStringLiteral("payload_not_available"), QString::fromLatin1(AvailabilityOffline)},
            {QStringLiteral("qos"), 1},
            {QStringLiteral("device"), device},
            {QStringLiteral("device_class"), QStringLiteral("problem")},
        };
        configs.push_back({options.discoveryPrefix + QStringLiteral("/binary_sensor/") + node +
                               QStringLiteral("/peak_warning/config"),
                           QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return configs;
}

QByteArray SettingsResultMessage(const SettingsRequest& request, const QStringList& refusals,
                                 qint64 msSinceEpoch, bool unchanged) {
    QJsonObject object{{QStringLiteral("ok"), refusals.isEmpty()},
                       {QStringLiteral("time"), IsoLocalTime(msSinceEpoch)}};
    if (refusals.isEmpty() && unchanged)
        object.insert(QStringLiteral("unchanged"), true);
    if (refusals.isEmpty())
        object.insert(QStringLiteral("settings"), SettingsRequestJson(request));
    else
        object.insert(QStringLiteral("refusals"), QJsonArray::fromStringList(refusals));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The firmware: Home Assistant's update entity and its state, the install command's answer.

FirmwareTopics FirmwareTopicsFor(const QString& prefix, const QString& serial) {
    const QString base =
        prefix + QLatin1Char('/') + SerialTopicLevel(serial) + QStringLiteral("/firmware");
    return {base, base + QStringLiteral("/install"), base + QStringLiteral("/result")};
}

RetainedMessage FirmwareUpdateConfig(const MqttOptions& options, const QString& serial,
                                     const QString& firmwareVersion) {
    const QString node = QStringLiteral("kdr31_") + SerialTopicLevel(serial);
    const FirmwareTopics topics = FirmwareTopicsFor(options.prefix, serial);
    // The state is JSON (installed_version, latest_version, in_progress, update_percentage,
    // title), which Home Assistant reads without a template. The availability words are its
    // defaults, "online" and "offline", so the topic alone says it.
    QJsonObject config{
        {QStringLiteral("name"), QStringLiteral("Firmware")},
        {QStringLiteral("unique_id"), node + QStringLiteral("_firmware")},
        {QStringLiteral("device_class"), QStringLiteral("firmware")},
        {QStringLiteral("entity_category"), QStringLiteral("config")},
        {QStringLiteral("title"), QStringLiteral("KDR31 firmware")},
        {QStringLiteral("state_topic"), topics.state},
        {QStringLiteral("availability_topic"), TopicsFor(options.prefix, serial).availability},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("device"), DiscoveryDevice(serial, firmwareVersion)},
    };
    // Without the flag there is nothing to press: the entity shows the versions only.
    if (options.allowUpgrade) {
        config.insert(QStringLiteral("command_topic"), topics.install);
        config.insert(QStringLiteral("payload_install"),
                      QString::fromLatin1(FirmwareInstallPayload));
    }
    return {options.discoveryPrefix + QStringLiteral("/update/") + node +
                QStringLiteral("/firmware/config"),
            QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

QByteArray FirmwareStateMessage(const FirmwareStatus& status) {
    QJsonObject state{{QStringLiteral("title"), QStringLiteral("KDR31 firmware")},
                      {QStringLiteral("in_progress"), status.UpgradeRunning()}};
    if (status.check.installed)
        state.insert(QStringLiteral("installed_version"), VersionText(*status.check.installed));
    if (status.check.listed)
        state.insert(QStringLiteral("latest_version"), VersionText(*status.check.listed));
    const std::optional<int> percent =
        status.UpgradeRunning() ? status.upgrade->Percent() : std::nullopt;
    state.insert(QStringLiteral("update_percentage"),
                 percent ? QJsonValue(*percent) : QJsonValue(QJsonValue::Null));
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

QByteArray UpgradeAnswerMessage(const UpgradeAnswer& answer, qint64 msSinceEpoch) {
    static const char* const kinds[] = {"started", "busy", "unchanged", "refused", "pending"};
    QJsonObject object{{QStringLiteral("ok"), answer.kind == UpgradeAnswer::Started ||
                                                  answer.kind == UpgradeAnswer::Unchanged},
                       {QStringLiteral("answer"), QLatin1String(kinds[answer.kind])},
                       {QStringLiteral("message"), answer.text},
                       {QStringLiteral("time"), IsoLocalTime(msSinceEpoch)}};
    if (!answer.outcome.isEmpty())
        object.insert(QStringLiteral("outcome"), answer.outcome);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
