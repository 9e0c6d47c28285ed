#include "readings/StateMessage.h"

#include <QJsonObject>

namespace {

// The unit of field i as the grid shows it, without the leading space; empty for none.
QString FieldUnit(size_t i) {
    return QString::fromUtf8(ReadingsFields[i].unit).trimmed();
}

} // namespace

CapacityFigures CapacityFiguresOf(const CapacityNow& now) {
    CapacityFigures figures;
    figures.averageW = now.quarterAverageW;
    figures.forecastW = now.quarterForecastW;
    if (now.monthPeak)
        figures.monthPeakW = now.monthPeak->averageW;
    figures.thresholdW = now.thresholdW;
    figures.headroomW = now.headroomW;
    figures.peakWarning = now.peakWarning;
    if (now.bill)
        figures.billedPeakW = now.bill->billedPeakW;
    return figures;
}

QByteArray StateMessage(const Reading& reading) {
    return StateMessage(reading, reading.capacity ? CapacityFiguresOf(*reading.capacity)
                                                  : CapacityFigures{});
}

QByteArray StateMessage(const Reading& reading, const CapacityFigures& capacity) {
    if (reading.implausible) {
        // Values that cannot be true go out as none at all, like a failed poll: a counter
        // that read one would see a meter reset.
        Reading withheld = reading;
        withheld.row.present = 0;
        QJsonObject object = ReadingJson(withheld);
        object.insert(QStringLiteral("status"), QStringLiteral("implausible"));
        return JsonText(object);
    }
    QJsonObject object = ReadingJson(reading);
    for (const auto& [name, value] :
         {std::pair{"quarter_hour_average_power_w", capacity.averageW},
          std::pair{"quarter_hour_forecast_power_w", capacity.forecastW},
          std::pair{"month_peak_power_w", capacity.monthPeakW},
          std::pair{"capacity_threshold_w", capacity.thresholdW},
          std::pair{"capacity_headroom_w", capacity.headroomW},
          std::pair{"billed_peak_w", capacity.billedPeakW}})
        if (value)
            object.insert(QLatin1String(name), DeviceNumber(*value));
    if (capacity.peakWarning)
        object.insert(QStringLiteral("peak_warning"), *capacity.peakWarning);
    QJsonObject units;
    for (size_t i = 0; i < ReadingsFieldNames.size(); ++i) {
        const QString name = QLatin1String(ReadingsFieldNames[i]);
        const QString unit = FieldUnit(i);
        if (object.contains(name) && !unit.isEmpty())
            units.insert(name, unit);
    }
    if (!units.isEmpty())
        object.insert(QStringLiteral("units"), units);
    return JsonText(object);
}
