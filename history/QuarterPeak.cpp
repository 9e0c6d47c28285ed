#include "history/QuarterPeak.h"

#include <QDateTime>
#include <algorithm>
#include <cmath>

namespace {

constexpr qint64 QuarterMs = 15 * 60 * 1000;
constexpr qint64 HourMs = 60 * 60 * 1000;

qint64 OffsetMs(qint64 time, const QTimeZone& zone) {
    return qint64(zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(time, QTimeZone::utc()))) *
           1000;
}

qint64 FloorTo(qint64 value, qint64 step) {
    const qint64 q = value / step;
    return (value % step < 0 ? q - 1 : q) * step;
}

// Local wall-clock time rounded down to a whole step, as an instant. Clock changes happen on a
// whole quarter of local time, so the offset at the instant is also the offset at the step's
// start.
qint64 LocalFloor(qint64 time, qint64 step, const QTimeZone& zone) {
    const qint64 offset = OffsetMs(time, zone);
    return FloorTo(time + offset, step) - offset;
}

// The counter at t and the indices of the samples it came from (lo <= hi), or nothing when no
// reading lies on both sides of t within maxGap.
struct Bracket {
    size_t lo = 0;
    size_t hi = 0;
    double value = 0;
};

std::optional<Bracket> CounterAt(const std::vector<CounterSample>& s, qint64 t, qint64 maxGap) {
    const auto after = std::lower_bound(
        s.begin(), s.end(), t, [](const CounterSample& a, qint64 v) { return a.time < v; });
    if (after != s.end() && after->time == t) {
        const auto i = size_t(after - s.begin());
        return Bracket{i, i, after->value};
    }
    if (after == s.begin() || after == s.end())
        return std::nullopt;
    const auto hi = size_t(after - s.begin());
    const CounterSample& a = s[hi - 1];
    const CounterSample& b = s[hi];
    if (b.time - a.time > maxGap || b.value < a.value)
        return std::nullopt;
    const double f = double(t - a.time) / double(b.time - a.time);
    return Bracket{hi - 1, hi, a.value + f * (b.value - a.value)};
}

// badBefore[i]: how many of the sample pairs (0,1) ... (i-1,i) are a gap or a counter going
// down; a span of samples lo..hi is whole when badBefore[hi] == badBefore[lo].
std::vector<int> BadPairs(const std::vector<CounterSample>& s, qint64 maxGap) {
    std::vector<int> bad(s.size(), 0);
    for (size_t i = 1; i < s.size(); ++i)
        bad[i] = bad[i - 1] +
                 ((s[i].time - s[i - 1].time > maxGap || s[i].value < s[i - 1].value) ? 1 : 0);
    return bad;
}

} // namespace

qint64 QuarterStart(qint64 time, const QTimeZone& zone) {
    return LocalFloor(time, QuarterMs, zone);
}

qint64 HourStart(qint64 time, const QTimeZone& zone) {
    return LocalFloor(time, HourMs, zone);
}

qint64 DayStart(qint64 time, const QTimeZone& zone) {
    const QDate date = QDateTime::fromMSecsSinceEpoch(time, zone).date();
    return date.startOfDay(zone).toMSecsSinceEpoch();
}

std::vector<qint64> Boundaries(qint64 from, qint64 to, Calendar unit, const QTimeZone& zone) {
    std::vector<qint64> result;
    auto next = [&](qint64 t) -> qint64 {
        switch (unit) {
        case Calendar::QuarterHour:
            return QuarterStart(t + QuarterMs, zone);
        case Calendar::Hour:
            return HourStart(t + HourMs, zone);
        case Calendar::Day:
            break;
        }
        const QDate date = QDateTime::fromMSecsSinceEpoch(t, zone).date();
        return date.addDays(1).startOfDay(zone).toMSecsSinceEpoch();
    };
    qint64 t = unit == Calendar::QuarterHour ? QuarterStart(from, zone)
               : unit == Calendar::Hour      ? HourStart(from, zone)
                                             : DayStart(from, zone);
    result.push_back(t);
    while (t < to) {
        t = next(t);
        result.push_back(t);
    }
    return result;
}

std::vector<IntervalDelta> IntervalDeltas(const std::vector<CounterSample>& samples,
                                          const std::vector<qint64>& boundaries, qint64 maxGapMs) {
    std::vector<IntervalDelta> result;
    if (boundaries.size() < 2)
        return result;
    result.reserve(boundaries.size() - 1);
    const std::vector<int> bad = BadPairs(samples, maxGapMs);
    std::optional<Bracket> left = CounterAt(samples, boundaries[0], maxGapMs);
    for (size_t i = 1; i < boundaries.size(); ++i) {
        const std::optional<Bracket> right = CounterAt(samples, boundaries[i], maxGapMs);
        IntervalDelta d;
        d.start = boundaries[i - 1];
        d.end = boundaries[i];
        d.complete = left && right && bad[right->hi] == bad[left->lo];
        if (d.complete)
            d.delta = right->value - left->value;
        result.push_back(d);
        left = right;
    }
    return result;
}

std::vector<QuarterHour> QuarterHours(const std::vector<CounterSample>& importWh, qint64 from,
                                      qint64 to, const QTimeZone& zone, qint64 maxGapMs) {
    std::vector<QuarterHour> result;
    std::vector<qint64> bounds = Boundaries(from, to, Calendar::QuarterHour, zone);
    // Only quarters that start inside [from, to).
    while (!bounds.empty() && bounds.front() < from)
        bounds.erase(bounds.begin());
    while (bounds.size() >= 2 && bounds[bounds.size() - 2] >= to)
        bounds.pop_back();
    for (const IntervalDelta& d : IntervalDeltas(importWh, bounds, maxGapMs)) {
        QuarterHour q;
        q.start = d.start;
        q.end = d.end;
        q.complete = d.complete;
        // Wh over the quarter's length in hours is W.
        if (d.complete)
            q.averageW = d.delta * double(HourMs) / double(d.end - d.start);
        result.push_back(q);
    }
    return result;
}

qint64 QuarterEnd(qint64 quarterStart, const QTimeZone& zone) {
    return QuarterStart(quarterStart + QuarterMs, zone);
}

QuarterHour QuarterEnergy::Import() const {
    QuarterHour q;
    q.start = start;
    q.end = end;
    q.complete = importWh.has_value();
    // The arithmetic of QuarterHours, so a quarter from the table and one from the readings
    // compare equal to the last bit.
    if (importWh)
        q.averageW = *importWh * double(HourMs) / double(end - start);
    return q;
}

QuarterStream::QuarterStream(const QTimeZone& zone, qint64 maxGapMs)
    : zone_(zone), maxGapMs_(maxGapMs) {}

void QuarterStream::Add(const CounterSample& sample, std::vector<IntervalDelta>& closed) {
    if (!samples_.empty() && sample.time <= samples_.back().time)
        return;
    samples_.push_back(sample);
    // Most samples fall in the quarter of the one before: no time zone lookup for them.
    if (samples_.size() > 1 && sample.time >= quarterStart_ && sample.time < quarterEnd_)
        return;
    const qint64 previous = quarterStart_;
    quarterStart_ = QuarterStart(sample.time, zone_);
    quarterEnd_ = QuarterEnd(quarterStart_, zone_);
    if (samples_.size() == 1)
        return;
    // The quarter of the previous sample, and any that lie between it and this one, have all
    // their samples now. Across a gap none of them is complete.
    if (sample.time - samples_[samples_.size() - 2].time <= maxGapMs_) {
        const std::vector<qint64> bounds =
            Boundaries(previous, quarterStart_, Calendar::QuarterHour, zone_);
        for (const IntervalDelta& d : IntervalDeltas(samples_, bounds, maxGapMs_))
            if (d.complete)
                closed.push_back(d);
    }
    // The counter at this quarter's start comes from the last sample at or before it.
    size_t keep = samples_.size() - 1;
    while (keep > 0 && samples_[keep].time > quarterStart_)
        --keep;
    samples_.erase(samples_.begin(), samples_.begin() + std::ptrdiff_t(keep));
}

std::pair<qint64, qint64> MonthSpan(int year, int month, const QTimeZone& zone) {
    const QDate first(year, month, 1);
    return {first.startOfDay(zone).toMSecsSinceEpoch(),
            first.addMonths(1).startOfDay(zone).toMSecsSinceEpoch()};
}

MonthPeak PeakOfMonth(const std::vector<CounterSample>& importWh, int year, int month,
                      const QTimeZone& zone, qint64 maxGapMs) {
    MonthPeak result;
    const auto [from, to] = MonthSpan(year, month, zone);
    for (const QuarterHour& q : QuarterHours(importWh, from, to, zone, maxGapMs)) {
        if (!q.complete) {
            ++result.incompleteQuarters;
            continue;
        }
        ++result.completeQuarters;
        if (!result.found || q.averageW > result.peak.averageW) {
            result.found = true;
            result.peak = q;
        }
    }
    return result;
}

std::optional<double> RunningQuarterAverage(const std::vector<CounterSample>& importWh, qint64 now,
                                            const QTimeZone& zone, qint64 maxGapMs) {
    const qint64 start = QuarterStart(now, zone);
    const auto last = std::upper_bound(importWh.begin(), importWh.end(), now,
                                       [](qint64 v, const CounterSample& a) { return v < a.time; });
    if (last == importWh.begin())
        return std::nullopt;
    const CounterSample& newest = *(last - 1);
    // A stale reading (the device stopped answering) says nothing about the quarter now.
    if (newest.time <= start || now - newest.time > maxGapMs)
        return std::nullopt;
    const std::optional<Bracket> begin = CounterAt(importWh, start, maxGapMs);
    if (!begin)
        return std::nullopt;
    const std::vector<int> bad = BadPairs(importWh, maxGapMs);
    if (bad[size_t(last - importWh.begin()) - 1] != bad[begin->lo])
        return std::nullopt;
    return (newest.value - begin->value) * double(HourMs) / double(newest.time - start);
}

LiveQuarter::LiveQuarter(const QTimeZone& zone, qint64 maxGapMs)
    : zone_(zone), maxGapMs_(maxGapMs) {}

void LiveQuarter::Seed(int year, int month, const MonthPeak& peak) {
    year_ = year;
    month_ = month;
    peak_.reset();
    if (peak.found)
        peak_ = peak.peak;
}

void LiveQuarter::Add(const CounterSample& importWh, double importPowerW) {
    if (!samples_.empty() && importWh.time <= samples_.back().time)
        return;
    const qint64 quarter = QuarterStart(importWh.time, zone_);
    samples_.push_back(importWh);
    powerW_ = importPowerW;
    if (samples_.size() < 2)
        return;
    const qint64 previous = QuarterStart(samples_[samples_.size() - 2].time, zone_);
    if (previous == quarter)
        return;
    // The first sample past a quarter's end closes it; quarters that no sample fell in lie in a
    // gap and are never complete, so only the one that held the previous sample can count.
    const std::vector<qint64> bounds =
        Boundaries(previous, previous + 1, Calendar::QuarterHour, zone_);
    CloseQuarter(previous, bounds.back());
    // Keep the last sample at or before the new quarter's start: the counter at that start is
    // interpolated from it.
    size_t keep = samples_.size() - 1;
    while (keep > 0 && samples_[keep].time > quarter)
        --keep;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(keep));
}

void LiveQuarter::CloseQuarter(qint64 start, qint64 end) {
    const QDate day = QDateTime::fromMSecsSinceEpoch(start, zone_).date();
    if (day.year() != year_ || day.month() != month_) {
        year_ = day.year();
        month_ = day.month();
        peak_.reset();
    }
    for (const QuarterHour& q : QuarterHours(samples_, start, end, zone_, maxGapMs_)) {
        if (q.complete && (!peak_ || q.averageW > peak_->averageW))
            peak_ = q;
    }
}

LiveQuarter::Now LiveQuarter::At(qint64 now) const {
    Now result;
    result.quarterStart = QuarterStart(now, zone_);
    result.quarterEnd =
        Boundaries(result.quarterStart, result.quarterStart + 1, Calendar::QuarterHour, zone_)
            .back();
    const QDate day = QDateTime::fromMSecsSinceEpoch(now, zone_).date();
    if (day.year() == year_ && day.month() == month_)
        result.monthPeak = peak_;
    result.averageW = RunningQuarterAverage(samples_, now, zone_, maxGapMs_);
    if (result.averageW && std::isfinite(powerW_)) {
        // What the quarter has used so far, plus the rest of it at the power of now.
        const qint64 last = samples_.back().time;
        const double length = double(result.quarterEnd - result.quarterStart);
        result.forecastW = (*result.averageW * double(last - result.quarterStart) +
                            powerW_ * double(result.quarterEnd - last)) /
                           length;
    }
    return result;
}
