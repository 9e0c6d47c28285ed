#pragma once
// The state message of a reading: what the poller sends for each reading over MQTT and over HTTP
// (the latest reading, the event stream), so both carry the same JSON.

#include "history/LiveCapacity.h"
#include "readings/ReadingsFormat.h"

#include <QByteArray>
#include <optional>

// The capacity tariff's figures a state message carries, as they stood when the reading was
// taken (CapacityNow), in W; nothing where there is no value yet. Plain values, so a queue of
// state messages to send can keep them compactly without the whole CapacityNow.
struct CapacityFigures {
    std::optional<double> averageW;
    std::optional<double> forecastW;
    std::optional<double> monthPeakW;
    std::optional<double> thresholdW;
    std::optional<double> headroomW;
    std::optional<bool> peakWarning;
    std::optional<double> billedPeakW;
};
CapacityFigures CapacityFiguresOf(const CapacityNow& now);

// ReadingJson with the units of the fields it holds, as the grid shows them:
// "units": {"import_power_w": "W", "import_high_wh": "Wh", ..., "gas_m3": "m³"}, and the
// capacity tariff's figures that have a value: "quarter_hour_average_power_w",
// "quarter_hour_forecast_power_w", "month_peak_power_w", "capacity_threshold_w",
// "capacity_headroom_w", "peak_warning" (true/false) and "billed_peak_w", numbers with the digits
// of the device's values (DeviceNumber). An implausible reading has status "implausible" and no
// fields.
QByteArray StateMessage(const Reading& reading, const CapacityFigures& capacity);
// The same with the figures the reading carries (Reading::capacity), if any.
QByteArray StateMessage(const Reading& reading);
