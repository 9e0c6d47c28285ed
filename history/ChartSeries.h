#pragma once
// What the chart window draws, kept apart from the widgets: the readings of one device in
// memory as columns (time, powers, counters), filled from the history and by new readings, and
// the energy per hour and per day and the quarter-hours computed from them.

#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"

#include <QString>
#include <functional>
#include <optional>
#include <vector>

struct ChartSeries {
    std::vector<qint64> time; // UTC ms, ascending
    std::vector<float> importW;
    std::vector<float> exportW;
    std::vector<float> gasM3;
    std::vector<CounterSample> importWh; // High + Low, received readings only
    std::vector<CounterSample> exportWh;
    std::vector<CounterSample> gas;

    void Clear();
    // Readings older than the newest one are placed in order (the history may arrive after a
    // live reading). Failed readings add nothing.
    void Add(const Reading& reading);
    size_t Size() const { return time.size(); }

    // Loads the device's readings in [fromMs, toMs) from the database, replacing what is held.
    // Returns false, with the reason, when the database cannot be read. A read that `cancelled`
    // calls off stops at the next reading, holding what it had.
    bool Load(const QString& databasePath, qint64 fromMs, qint64 toMs,
              const std::optional<QString>& serial, QString* error,
              const std::function<bool()>& cancelled = {});
};

struct EnergyBar {
    qint64 start = 0;
    qint64 end = 0;
    std::optional<double> importWh; // nothing: a gap in the readings
    std::optional<double> exportWh;
    std::optional<double> gasM3;
};

// Energy per hour or per day over [fromMs, toMs), from the counters' differences; the interval
// that holds the newest reading gets the energy so far.
std::vector<EnergyBar> EnergyBars(const ChartSeries& series, qint64 fromMs, qint64 toMs,
                                  Calendar unit, const QTimeZone& zone);
