#pragma once
// A household's readings as a KDR31 would report them every 5 seconds: a base load with a
// kettle now and then and cooking in the evening, solar export around midday, gas for heating.
// For the chart's screenshot and the history benchmarks; header only.

#include "readings/ReadingsFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace sim {

class Household {
public:
    explicit Household(QString serial = QStringLiteral("12345678")) : serial_(std::move(serial)) {}

    // The reading at `time` (UTC ms); hour is the local hour of day (0 to 24) it falls in.
    Reading Next(qint64 time, double hour) {
        seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = double((seed_ >> 33) % 1000) / 1000.0;
        if (kettleLeft_ == 0 && noise > 0.9985)
            kettleLeft_ = 36; // three minutes
        const double kettle = kettleLeft_ > 0 ? 2000 : 0;
        if (kettleLeft_ > 0)
            --kettleLeft_;
        const double solar = std::max(0.0, 2600 * std::sin((hour - 8.5) / 8 * M_PI));
        const double cooking = hour > 17.5 && hour < 18.75 ? 2300 : 0;
        const double use = 260 + 120 * noise + kettle + cooking + (hour > 7 && hour < 8 ? 900 : 0);
        const double net = use - solar;
        const float importW = float(std::max(0.0, std::round(net)));
        const float exportW = float(std::max(0.0, std::round(-net)));
        const bool low = hour < 7 || hour >= 21;
        (low ? importLow_ : importHigh_) += importW * 5 / 3600;
        (low ? exportLow_ : exportHigh_) += exportW * 5 / 3600;
        // The gas meter reports every five minutes; heating morning and evening.
        if (time % 300'000 == 0)
            gas_ += (hour > 6 && hour < 9) || (hour > 17 && hour < 23) ? 0.045 : 0.004;
        Reading r;
        r.serial = serial_;
        r.row.time = time;
        r.row.state = ReadingsRow::Received;
        r.row.present = 0x1fff;
        r.row.fields = {importW,
                        float(std::round(importHigh_)),
                        float(std::round(importLow_)),
                        0.0f,
                        exportW,
                        float(std::round(exportHigh_)),
                        float(std::round(exportLow_)),
                        0.0f,
                        float(std::round(gas_ * 1000) / 1000),
                        0.0f,
                        low ? 2.0f : 1.0f,
                        17.0f,
                        4.0f};
        return r;
    }

private:
    QString serial_;
    std::uint64_t seed_ = 42;
    int kettleLeft_ = 0;
    double importHigh_ = 7'404'000, importLow_ = 4'941'000;
    double exportHigh_ = 3'025'000, exportLow_ = 1'296'000;
    double gas_ = 3456.789;
};

} // namespace sim
