#pragma once
// What the poller publishes, as topics and payloads, with no network in sight: the availability
// words, the Home Assistant discovery configs and the answer to a settings request. The state
// message of a reading is readings/StateMessage.h's, which the HTTP side sends too.

#include "firmware/FirmwareStatus.h"
#include "readings/SettingsRequest.h"
#include "readings/StateMessage.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

struct MqttOptions;

inline const QByteArray AvailabilityOnline = QByteArrayLiteral("online");
inline const QByteArray AvailabilityOffline = QByteArrayLiteral("offline");

// A serial number as one topic level and one identifier: letters, digits, "-" and "_" kept,
// anything else "_"; an empty serial reads "unknown".
QString SerialTopicLevel(const QString& serial);

struct MqttTopics {
    QString state;        // <prefix>/<serial>/state
    QString availability; // <prefix>/<serial>/availability
    QString set;          // <prefix>/<serial>/set
    QString setResult;    // <prefix>/<serial>/set/result
};
MqttTopics TopicsFor(const QString& prefix, const QString& serial);

struct RetainedMessage {
    QString topic;
    QByteArray payload;
};

// The Home Assistant device of every discovery config: identifiers ["kdr31_<serial>"], name,
// model, serial_number and sw_version (the firmware it reported).
QJsonObject DiscoveryDevice(const QString& serial, const QString& firmwareVersion);

// One retained sensor config per reading field, all of one device:
// <discoveryPrefix>/sensor/kdr31_<serial>/<field>/config; then two for the capacity tariff, in
// kW: "quarter_hour_average" (the quarter-hour now so far) and "month_peak".
std::vector<RetainedMessage> DiscoveryConfigs(const MqttOptions& options, const QString& serial,
                                              const QString& firmwareVersion);

// {"ok": true, "settings": {...}} or {"ok": false, "refusals": [...]}, with the time; with
// unchanged (the device had the values, nothing was sent) {"ok": true, "unchanged": true, ...}.
QByteArray SettingsResultMessage(const SettingsRequest& request, const QStringList& refusals,
                                 qint64 msSinceEpoch, bool unchanged = false);

// The firmware: Home Assistant's update entity.
struct FirmwareTopics {
    QString state;   // <prefix>/<serial>/firmware: FirmwareStateMessage, retained
    QString install; // <prefix>/<serial>/firmware/install: the update entity's command
    QString result;  // <prefix>/<serial>/firmware/result: UpgradeAnswerMessage
};
FirmwareTopics FirmwareTopicsFor(const QString& prefix, const QString& serial);

// What the update entity publishes on the install topic to start an upgrade; nothing else does.
inline constexpr char FirmwareInstallPayload[] = "install";

// <discoveryPrefix>/update/kdr31_<serial>/firmware/config: device_class firmware, the JSON state
// on FirmwareTopics::state, the device and availability of the sensors; with
// options.allowUpgrade the install command (command_topic, payload_install).
RetainedMessage FirmwareUpdateConfig(const MqttOptions& options, const QString& serial,
                                     const QString& firmwareVersion);

// {"title", "in_progress", "installed_version", "latest_version" (once a check found one),
// "update_percentage" (0-100 while the blocks are sent, otherwise null)}.
QByteArray FirmwareStateMessage(const FirmwareStatus& status);

// {"ok", "answer": "started" | "busy" | "unchanged" | "refused", "message", "outcome", "time"}.
QByteArray UpgradeAnswerMessage(const UpgradeAnswer& answer, qint64 msSinceEpoch);
