#pragma once
// A household's meter as a KDR31 reads it every 5 seconds, without Qt, for the simulated device
// (kdr31-sim --household) and, through Household.h, for the benchmarks and the screenshots.
//
// The base load, solar export around midday and gas for heating are the same every day. With
// appliances, four of them switch on and off through the month on a schedule drawn per day from
// a seed, the same for the same seed and day whoever asks and in whatever steps: a kettle a few
// times a day, an oven on some evenings (full power, then its thermostat cycling), a car charger
// on some evenings or nights, and a heat pump whose compressor cycles harder on colder days.
// Their overlaps set the month's quarter-hour peaks: high on the first evenings, then only now
// and then higher, with many quarters that come close. Header only.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace sim {

class Appliances {
public:
    explicit Appliances(std::uint64_t seed = 2026) : seed_(seed) {}

    // Watts drawn at `second` of local day `day` (any day numbering, e.g. days since 1970-01-01
    // of the local date; second 0 is local midnight).
    double PowerW(std::int64_t day, double second) const {
        if (!cached_ || cachedDay_ != day) {
            runs_ = RunsOf(day);
            cachedDay_ = day;
            cached_ = true;
        }
        double watts = 0;
        for (const Run& run : runs_) {
            if (second < run.from || second >= run.to)
                continue;
            const double into = second - run.from - run.fullFor;
            // After its full-power start, a thermostat or compressor cycles on and off.
            if (into < 0 || run.cycleOff <= 0 ||
                std::fmod(into, run.cycleOn + run.cycleOff) < run.cycleOn)
                watts += run.watts;
        }
        return watts;
    }

private:
    struct Run {
        double from = 0; // seconds of the local day
        double to = 0;
        double watts = 0;
        double fullFor = 0;  // seconds at full power before cycling starts
        double cycleOn = 0;  // then on for this long,
        double cycleOff = 0; // and off for this long (0: no cycling)
    };

    // splitmix64: a good spread of bits from consecutive inputs.
    static std::uint64_t Mix(std::uint64_t x) {
        x += 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    }

    std::vector<Run> RunsOf(std::int64_t day) const {
        std::uint64_t state = Mix(seed_ ^ Mix(std::uint64_t(day)));
        // A number in [0, 1) for each decision of the day, in a fixed order.
        const auto uniform = [&state] {
            state = Mix(state);
            return double(state >> 11) / 9007199254740992.0;
        };
        const auto between = [&](double low, double high) {
            return low + (high - low) * uniform();
        };
        constexpr double H = 3600;
        std::vector<Run> runs;

        // The kettle: three minutes at 2.2 kW, at up to five times of the day.
        for (const double around : {7.0, 10.5, 13.0, 16.0, 20.5}) {
            const double at = between(around - 0.5, around + 0.5) * H;
            if (uniform() < 0.7)
                runs.push_back({at, at + 180, 2200, 0, 0, 0});
        }
        // The oven on some evenings: 12 minutes heating, then its thermostat.
        if (uniform() < 0.45) {
            const double at = between(17.25, 18.75) * H;
            runs.push_back({at, at + between(40, 80) * 60, 2400, 12 * 60, 90, 90});
        }
        // The car, home in the early evening or late, charging at 16 A (3.7 kW).
        if (uniform() < 0.4) {
            const double at = (uniform() < 0.5 ? between(17.5, 19.5) : between(21.5, 23.0)) * H;
            // A charge that would go on past midnight ends with the day: each day is drawn
            // on its own.
            runs.push_back({at, std::min(at + between(1.5, 4.5) * H, 24 * H), 3700, 0, 0, 0});
        }
        // The heat pump: its compressor cycles morning and evening, longer on colder days.
        const double cold = uniform();
        const double watts = 1600 + 900 * cold;
        const double on = (12 + 18 * cold) * 60, off = (30 - 15 * cold) * 60;
        runs.push_back({between(5.0, 6.0) * H, 9.5 * H, watts, 0, on, off});
        runs.push_back({between(16.0, 17.0) * H, 22.5 * H, watts, 0, on, off});
        return runs;
    }

    std::uint64_t seed_;
    mutable bool cached_ = false;
    mutable std::int64_t cachedDay_ = 0;
    mutable std::vector<Run> runs_;
};

// The meter's values every 5 seconds: the 13 fields of the KDR31's readings reply, in its order
// (import power, import high, import low, import diff, export power, export high, export low,
// export diff, gas, gas diff, tariff, extern1, extern2).
class HouseholdMeter {
public:
    void UseAppliances(const Appliances& appliances) {
        appliances_ = appliances;
        withAppliances_ = true;
    }

    // The values at `time` (UTC ms, a multiple of 5 s for the gas meter's five-minute steps),
    // `hour` the local hour of day (0 to 24) it falls in, `day` its local day number.
    std::array<float, 13> Next(std::int64_t time, double hour, std::int64_t day) {
        seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = double((seed_ >> 33) % 1000) / 1000.0;
        // Without appliances: a kettle now and then, and cooking every evening.
        double kettle = 0;
        double cooking = 0;
        if (withAppliances_) {
            kettle = appliances_.PowerW(day, hour * 3600);
        } else {
            if (kettleLeft_ == 0 && noise > 0.9985)
                kettleLeft_ = 36; // three minutes
            kettle = kettleLeft_ > 0 ? 2000 : 0;
            if (kettleLeft_ > 0)
                --kettleLeft_;
            cooking = hour > 17.5 && hour < 18.75 ? 2300 : 0;
        }
        const double solar = std::max(0.0, 2600 * std::sin((hour - 8.5) / 8 * M_PI));
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
        return {importW,
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
    }

private:
    std::uint64_t seed_ = 42;
    int kettleLeft_ = 0;
    bool withAppliances_ = false;
    Appliances appliances_;
    double importHigh_ = 7'404'000, importLow_ = 4'941'000;
    double exportHigh_ = 3'025'000, exportLow_ = 1'296'000;
    double gas_ = 3456.789;
};

} // namespace sim
