// /metrics: Prometheus's text format, in the base units of its naming guide.

#include "http/HttpRoutes.h"

#include "Version.h"
#include "readings/ReadingsFormat.h"

#include <QLocale>
#include <cmath>

namespace {

// A Prometheus label value: backslash, quote and line end escaped.
QByteArray LabelValue(const QString& text) {
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray MetricNumber(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    return QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
}

// The firmware: whether the firmware server lists another version than the device's (only once a
// check has said so), and whether an upgrade runs.
void FirmwareMetrics(QByteArray& out, const std::optional<FirmwareStatus>& firmware) {
    if (firmware && firmware->check.installed && firmware->check.listed) {
        out += "# HELP kdr31_firmware_update_available 1 when the firmware server lists another "
               "firmware than the device runs.\n# TYPE kdr31_firmware_update_available gauge\n";
        out += QByteArray("kdr31_firmware_update_available ") +
               (firmware->check.Differ() ? "1" : "0") + '\n';
    }
    out += "# HELP kdr31_upgrade_in_progress 1 while the poller upgrades the device's "
           "firmware.\n# TYPE kdr31_upgrade_in_progress gauge\n";
    out += QByteArray("kdr31_upgrade_in_progress ") +
           (firmware && firmware->UpgradeRunning() ? "1" : "0") + '\n';
}

QByteArray Metrics(HttpShared& server) {
    std::unique_lock<std::mutex> lock(server.mutex);
    const std::optional<Reading> reading = server.latest;
    const qint64 ageMs = HttpShared::SteadyMs() - server.latestSteady;
    const bool up = server.connected;
    const quint64 counts[3] = {server.okReadings, server.failedReadings,
                               server.implausibleReadings};
    const std::optional<qint64> queue = server.mqttQueue;
    const qint64 problems = server.historyProblems;
    const std::shared_ptr<const CapacityNow> capacity = server.Capacity();
    const std::optional<FirmwareStatus> firmware = server.firmware;
    lock.unlock();

    QByteArray out;
    const auto family = [&out](const char* name, const char* type, const char* help) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    };
    family("kdr31_build_info", "gauge", "Version of the KDR31 poller.");
    out += "kdr31_build_info{version=\"" KDR31_VERSION_STRING "\"} 1\n";
    family("kdr31_up", "gauge", "1 when the device is connected to the poller.");
    out += QByteArray("kdr31_up ") + (up ? "1" : "0") + '\n';
    family("kdr31_readings_total", "counter",
           "Readings taken since the poller started, by status.");
    const char* statuses[3] = {"ok", "failed", "implausible"};
    for (int i = 0; i < 3; ++i)
        out += QByteArray("kdr31_readings_total{status=\"") + statuses[i] + "\"} " +
               QByteArray::number(counts[i]) + '\n';
    family("kdr31_history_write_errors_total", "counter",
           "Times writing readings to the history failed.");
    out += "kdr31_history_write_errors_total " + QByteArray::number(problems) + '\n';
    if (queue) {
        family("kdr31_mqtt_queue_length", "gauge", "Readings waiting for the MQTT broker.");
        out += "kdr31_mqtt_queue_length " + QByteArray::number(*queue) + '\n';
    }
    if (reading) {
        family("kdr31_reading_age_seconds", "gauge", "Time since the newest reading was taken.");
        out += "kdr31_reading_age_seconds " + MetricNumber(double(ageMs) / 1000.0) + '\n';
    }
    const auto optionalGauge = [&](const char* name, const char* help,
                                   const std::optional<double>& value) {
        if (!value)
            return;
        family(name, "gauge", help);
        out += QByteArray(name) + ' ' + MetricNumber(DeviceNumber(*value)) + '\n';
    };
    const CapacityFigures quarter = capacity ? CapacityFiguresOf(*capacity) : CapacityFigures{};
    optionalGauge("kdr31_quarter_hour_average_power_watts",
                  "Average import power so far in the quarter-hour now.", quarter.averageW);
    optionalGauge("kdr31_quarter_hour_forecast_power_watts",
                  "The quarter-hour's average at its end if the import power stays as it is.",
                  quarter.forecastW);
    optionalGauge("kdr31_month_peak_power_watts",
                  "Highest quarter-hour average import power of the month so far.",
                  quarter.monthPeakW);
    // The capacity tariff, for alerting: what may still be drawn, the warning, and the bill.
    optionalGauge("kdr31_capacity_headroom_watts",
                  "Extra import power that may be drawn until the quarter-hour ends without "
                  "passing the capacity threshold; negative: what to switch off.",
                  quarter.headroomW);
    optionalGauge(
        "kdr31_peak_warning", "1 while the quarter-hour is on course for a new capacity peak.",
        quarter.peakWarning ? std::optional<double>(*quarter.peakWarning ? 1 : 0) : std::nullopt);
    optionalGauge("kdr31_billed_peak_watts",
                  "The capacity tariff's billed peak: the mean of the counted peaks of the last "
                  "12 months.",
                  quarter.billedPeakW);

    FirmwareMetrics(out, firmware);

    // A failed or implausible reading has no values: the series stay away rather than read 0.
    if (!reading || reading->row.state != ReadingsRow::Received || reading->implausible)
        return out;
    const ReadingsRow& row = reading->row;
    const QByteArray serial = "serial=\"" + LabelValue(reading->serial) + '"';
    const auto has = [&row](int field) {
        return (row.present & (1u << field)) && std::isfinite(row.fields[size_t(field)]);
    };
    const auto sample = [&](const char* name, const QByteArray& labels, double value) {
        out += QByteArray(name) + '{' + labels + "} " + MetricNumber(value) + '\n';
    };
    // Energy in joules and gas in cubic metres, the base units of Prometheus's naming guide.
    struct Series {
        const char* name;
        const char* type;
        const char* help;
        std::vector<std::pair<int, const char*>> fields; // field, extra label
        double scale;
    };
    const Series series[] = {
        {"kdr31_import_power_watts", "gauge", "Power taken from the grid.", {{0, nullptr}}, 1},
        {"kdr31_export_power_watts", "gauge", "Power fed into the grid.", {{4, nullptr}}, 1},
        {"kdr31_import_energy_joules_total",
         "counter",
         "Energy taken from the grid, by tariff.",
         {{1, "tariff=\"high\""}, {2, "tariff=\"low\""}},
         3600},
        {"kdr31_export_energy_joules_total",
         "counter",
         "Energy fed into the grid, by tariff.",
         {{5, "tariff=\"high\""}, {6, "tariff=\"low\""}},
         3600},
        {"kdr31_gas_cubic_meters_total", "counter", "Gas used.", {{8, nullptr}}, 1},
        {"kdr31_pulses_total",
         "counter",
         "Pulses counted on the pulse inputs.",
         {{11, "input=\"1\""}, {12, "input=\"2\""}},
         1},
    };
    for (const Series& s : series) {
        bool any = false;
        for (const auto& [field, label] : s.fields)
            any = any || has(field);
        if (!any)
            continue;
        family(s.name, s.type, s.help);
        for (const auto& [field, label] : s.fields)
            if (has(field))
                // Through the field's own shortest text, so 1235.956 m³ does not read
                // 1235.9560546875.
                sample(s.name, label ? serial + ',' + label : serial,
                       ExportNumber(row.fields[size_t(field)]).toDouble() * s.scale);
    }
    return out;
}

} // namespace

MHD_Result ServeMetrics(HttpShared& server, HttpRequest& request) {
    return Send(request.connection, MHD_HTTP_OK, Metrics(server),
                "text/plain; version=0.0.4; charset=utf-8");
}
