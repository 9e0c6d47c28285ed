#pragma once
// What the poller publishes, as topics and payloads, with no network in sight: the state message
// of a reading, the availability words, the Home Assistant discovery configs and the answer to
// a settings request.

#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"
#include "readings/SettingsRequest.h"

#include <QByteArray>
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

// The capacity tariff as it stood when a reading was taken (LiveQuarter::At its time), in W;
// nothing where there is no value yet.
struct QuarterFigures {
    std::optional<double> averageW;
    std::optional<double> forecastW;
    std::optional<double> monthPeakW;
};
QuarterFigures QuarterFiguresOf(const LiveQuarter::Now& now);

// ReadingJson with the units of the fields it holds, as the grid shows them:
// "units": {"import_power_w": "W", "import_high_wh": "Wh", ..., "gas_m3": "m³"}, and the
// quarter-hour's figures that have a value: "quarter_hour_average_power_w",
// "quarter_hour_forecast_power_w", "month_peak_power_w". An implausible reading has status
// "implausible" and no fields.
QByteArray StateMessage(const Reading& reading, const QuarterFigures& quarter = {});

struct RetainedMessage {
    QString topic;
    QByteArray payload;
};

// One retained sensor config per reading field, all of one device:
// <discoveryPrefix>/sensor/kdr31_<serial>/<field>/config; then two for the capacity tariff, in
// kW: "quarter_hour_average" (the quarter-hour now so far) and "month_peak".
std::vector<RetainedMessage> DiscoveryConfigs(const MqttOptions& options, const QString& serial,
                                              const QString& firmwareVersion);

// {"ok": true, "settings": {...}} or {"ok": false, "refusals": [...]}, with the time; with
// unchanged (the device had the values, nothing was sent) {"ok": true, "unchanged": true, ...}.
QByteArray SettingsResultMessage(const SettingsRequest& request, const QStringList& refusals,
                                 qint64 msSinceEpoch, bool unchanged = false);
