#pragma once
// A household's readings as a KDR31 would report them every 5 seconds (HouseholdMeter): a base
// load with a kettle now and then and cooking in the evening, solar export around midday, gas for
// heating; or, with UseAppliances, a month of appliances switching on and off. For the chart's
// screenshot and the benchmarks; header only.

#include "readings/ReadingsFormat.h"
#include "simulator/Appliances.h"

#include <cmath>

namespace sim {

class Household {
public:
    explicit Household(QString serial = QStringLiteral("12345678")) : serial_(std::move(serial)) {}

    void UseAppliances(const Appliances& appliances) { meter_.UseAppliances(appliances); }

    // The reading at `time` (UTC ms); hour is the local hour of day (0 to 24) it falls in.
    Reading Next(qint64 time, double hour) {
        // Local midnight, in days: the appliances' day.
        const auto day = std::int64_t(std::llround((double(time) - hour * 3'600'000) / 86'400'000));
        Reading r;
        r.serial = serial_;
        r.row.time = time;
        r.row.state = ReadingsRow::Received;
        r.row.present = 0x1fff;
        r.row.fields = meter_.Next(time, hour, day);
        return r;
    }

private:
    QString serial_;
    HouseholdMeter meter_;
};

} // namespace sim
