#include "history/ChartSeries.h"

#include "history/HistoryStore.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr float NoValue = std::numeric_limits<float>::quiet_NaN();

float Field(const ReadingsRow& row, int field) {
    return (row.present & (1u << field)) ? row.fields[size_t(field)] : NoValue;
}

// High + Low of a group (import 1, 2; export 5, 6) when both are there.
std::optional<double> Sum(const ReadingsRow& row, int high, int low) {
    const unsigned both = (1u << high) | (1u << low);
    if ((row.present & both) != both)
        return std::nullopt;
    const double sum = double(row.fields[size_t(high)]) + double(row.fields[size_t(low)]);
    return std::isfinite(sum) ? std::optional<double>(sum) : std::nullopt;
}

template <typename T> void InsertAt(std::vector<T>& v, size_t at, const T& value) {
    v.insert(v.begin() + long(at), value);
}

void AddCounter(std::vector<CounterSample>& counter, qint64 time, std::optional<double> value) {
    if (!value)
        return;
    const CounterSample sample{time, *value};
    if (counter.empty() || counter.back().time < time) {
        counter.push_back(sample);
        return;
    }
    const auto at = std::lower_bound(counter.begin(), counter.end(), time,
                                     [](const CounterSample& s, qint64 t) { return s.time < t; });
    if (at != counter.end() && at->time == time)
        *at = sample;
    else
        counter.insert(at, sample);
}

} // namespace

void ChartSeries::Clear() {
    *this = ChartSeries();
}

void ChartSeries::Add(const Reading& reading) {
    const ReadingsRow& row = reading.row;
    if (row.state != ReadingsRow::Received || reading.implausible)
        return; // a garbled reading would draw a spike
    const qint64 t = row.time;
    size_t at = time.size();
    if (!time.empty() && time.back() >= t) {
        at = size_t(std::lower_bound(time.begin(), time.end(), t) - time.begin());
        if (at < time.size() && time[at] == t)
            return; // already held
    }
    InsertAt(time, at, t);
    InsertAt(importW, at, Field(row, 0));
    InsertAt(exportW, at, Field(row, 4));
    InsertAt(gasM3, at, Field(row, 8));
    AddCounter(importWh, t, Sum(row, 1, 2));
    AddCounter(exportWh, t, Sum(row, 5, 6));
    const float gasValue = Field(row, 8);
    AddCounter(gas, t, std::isfinite(gasValue) ? std::optional<double>(gasValue) : std::nullopt);
}

bool ChartSeries::Load(const QString& databasePath, qint64 fromMs, qint64 toMs,
                       const std::optional<QString>& serial, QString* error,
                       const std::function<bool()>& cancelled) {
    Clear();
    HistoryStore store;
    if (!store.Open(databasePath, true)) {
        if (error)
            *error = store.ErrorText();
        return false;
    }
    const bool ok = store.ForEach(fromMs, toMs, serial, [this, &cancelled](const Reading& r) {
        Add(r);
        return !cancelled || !cancelled();
    });
    if (!ok && error)
        *error = store.ErrorText();
    return ok;
}

std::vector<EnergyBar> EnergyBars(const ChartSeries& series, qint64 fromMs, qint64 toMs,
                                  Calendar unit, const QTimeZone& zone) {
    const std::vector<qint64> bounds = Boundaries(fromMs, toMs, unit, zone);
    // Gas meters report once an hour or every five minutes: a gap of up to an hour and a half
    // between gas values is normal.
    const qint64 gasGap = 90 * 60 * 1000;
    // The interval still running ends at the newest reading: its bar is the energy so far.
    auto upToNewest = [&bounds](const std::vector<CounterSample>& counter) {
        std::vector<qint64> b = bounds;
        if (!counter.empty())
            for (size_t i = 1; i < b.size(); ++i)
                if (b[i - 1] < counter.back().time && counter.back().time < b[i])
                    b[i] = counter.back().time;
        return b;
    };
    const auto imports = IntervalDeltas(series.importWh, upToNewest(series.importWh));
    const auto exports = IntervalDeltas(series.exportWh, upToNewest(series.exportWh));
    const auto gas = IntervalDeltas(series.gas, upToNewest(series.gas), gasGap);
    std::vector<EnergyBar> bars;
    for (size_t i = 0; i < imports.size(); ++i) {
        EnergyBar bar;
        bar.start = bounds[i];
        bar.end = bounds[i + 1];
        if (imports[i].complete)
            bar.importWh = imports[i].delta;
        if (exports[i].complete)
            bar.exportWh = exports[i].delta;
        if (gas[i].complete)
            bar.gasM3 = gas[i].delta;
        bars.push_back(bar);
    }
    return bars;
}
