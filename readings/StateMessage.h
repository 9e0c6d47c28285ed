#pragma once
// The state message of a reading: what the poller sends for each reading over MQTT and over HTTP
// (the latest reading, the event stream), so both carry the same JSON.

#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"

#include <QByteArray>
#include <optional>

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
// "quarter_hour_forecast_power_w", "month_peak_power_w", with the digits of the device's values
// (DeviceNumber). An implausible reading has status
// "implausible" and no fields.
QByteArray StateMessage(const Reading& reading, const QuarterFigures& quarter = {});
