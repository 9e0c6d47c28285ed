// The peak warning over a month: a household with a kettle, an oven, a car charger and a heat
// pump (sim::Appliances) read every 5 s through January 2027 in Brussels, each reading handed to
// the readings fan-out as the poller hands it (plausibility, then the live capacity figures), on
// a simulated clock. Then, against the quarter-hours worked out afterwards from all readings (as
// `kdr31-cli peak` does):
//   - the new peaks (quarters above the month's peak so far, at least 2.5 kW) and how many of
//     them were warned before their end;
//   - the minutes left at the warning of a new peak: median and 10th percentile;
//   - the false alarms: quarters with a warning that set no new peak;
//   - the delay from the forecast crossing the threshold to the warning, in readings (recomputed
//     here from the counters, not taken from the figures under test);
//   - the cost of the capacity path per reading;
//   - a poller's start on that month's history (ReadCapacitySeed, the month's readings and the
//     eleven months before), and whether the seeded month's peak is the live one.
//
//   build/benchmarks/kdr31_bench_capacity [SEED]        (about half a minute)

#include "history/CapacitySeed.h"
#include "history/HistoryStore.h"
#include "history/LiveCapacity.h"
#include "poller/ReadingsFanOut.h"
#include "simulator/Household.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <vector>

namespace {

constexpr qint64 StepMs = 5'000;
constexpr double MsPerHour = 3'600'000.0;

struct Seen {
    qint64 time = 0;
    double counterWh = 0;
    double powerW = 0;
    std::shared_ptr<const CapacityNow> capacity;
};

class Keep : public ReadingSink {
public:
    std::vector<Seen> seen;
    void Take(const Reading& r) override {
        seen.push_back({r.row.time, double(r.row.fields[1]) + double(r.row.fields[2]),
                        double(r.row.fields[0]), r.capacity});
    }
};

double Percentile(std::vector<double> values, double share) {
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double at = share * double(values.size() - 1);
    const auto low = size_t(std::floor(at));
    const size_t high = std::min(values.size() - 1, low + 1);
    return values[low] + (values[high] - values[low]) * (at - double(low));
}

} // namespace

int main(int argc, char* argv[]) {
    // The history's seed reads months in the PC's zone: the same as the replay's.
    qputenv("TZ", "Europe/Brussels");
    tzset();
    const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2026;
    const QTimeZone zone("Europe/Brussels");
    const auto [from, to] = MonthSpan(2027, 1, zone);

    sim::Household house(QStringLiteral("KD310042"));
    house.UseAppliances(sim::Appliances(seed));
    ReadingsFanOut fanOut(zone);
    Keep keep;
    fanOut.Add(&keep);
    keep.seen.reserve(size_t((to - from) / StepMs) + 2);

    QElapsedTimer timer;
    qint64 handNs = 0;
    for (qint64 t = from; t <= to; t += StepMs) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(t, zone);
        const double hour = local.time().msecsSinceStartOfDay() / MsPerHour;
        const Reading reading = house.Next(t, hour);
        timer.start();
        fanOut.Hand(reading.row, reading.serial);
        handNs += timer.nsecsElapsed();
    }
    const size_t readings = keep.seen.size();

    // The month as the poller would have recorded it, and a poller started at its last reading.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.sqlite"));
    {
        sim::Household again(QStringLiteral("KD310042"));
        again.UseAppliances(sim::Appliances(seed));
        HistoryStore store;
        store.Open(path);
        std::vector<Reading> batch;
        for (qint64 t = from; t < to; t += StepMs) {
            const double hour =
                QDateTime::fromMSecsSinceEpoch(t, zone).time().msecsSinceStartOfDay() / MsPerHour;
            batch.push_back(again.Next(t, hour));
            if (batch.size() == 10'000 || t + StepMs >= to) {
                store.Insert(batch);
                batch.clear();
            }
        }
    }
    timer.start();
    const std::optional<CapacitySeed> started =
        ReadCapacitySeed(path, QStringLiteral("KD310042"), to - StepMs);
    const qint64 seedMs = timer.elapsed();

    // The quarter-hours as billed, from all readings at once.
    std::vector<CounterSample> samples;
    samples.reserve(readings);
    for (const Seen& s : keep.seen)
        samples.push_back({s.time, s.counterWh});
    const std::vector<QuarterHour> quarters = QuarterHours(samples, from, to, zone);

    // Each quarter's readings, by the quarter's start.
    std::map<qint64, std::vector<size_t>> inQuarter;
    for (size_t i = 0; i < readings; ++i)
        inQuarter[QuarterStart(keep.seen[i].time, zone)].push_back(i);

    int newPeaks = 0, warnedPeaks = 0, falseAlarms = 0, warnedQuarters = 0, close = 0;
    int crossings = 0, missed = 0, late = 0, maxDelay = 0;
    std::vector<double> minutesLeft;
    double monthPeak = 0;
    for (const QuarterHour& q : quarters) {
        const std::vector<size_t>& indices = inQuarter[q.start];
        const double threshold = std::max(CapacityFloorW, monthPeak);
        const bool newPeak = q.complete && q.averageW > threshold;
        close += q.complete && !newPeak && q.averageW > threshold * 0.9 ? 1 : 0;
        if (q.complete)
            monthPeak = std::max(monthPeak, q.averageW);

        // The first warning of the quarter, from the figures every sink was handed.
        std::optional<size_t> warnedAt;
        for (size_t i : indices)
            if (keep.seen[i].capacity->peakWarning) {
                warnedAt = i;
                break;
            }
        // The forecast recomputed from the counters: the energy since the quarter's start (the
        // counter there interpolated from the readings around it) plus the power now to its end.
        std::optional<size_t> crossedAt;
        if (!indices.empty() && indices.front() > 0) {
            const Seen& a = keep.seen[indices.front() - 1];
            const Seen& b = keep.seen[indices.front()];
            const double atStart = a.counterWh + (b.counterWh - a.counterWh) *
                                                     double(q.start - a.time) /
                                                     double(b.time - a.time);
            for (size_t i : indices) {
                const Seen& s = keep.seen[i];
                if (s.time <= q.start)
                    continue;
                const double forecast =
                    ((s.counterWh - atStart) * MsPerHour + s.powerW * double(q.end - s.time)) /
                    double(q.end - q.start);
                if (forecast > threshold) {
                    crossedAt = i;
                    break;
                }
            }
        }

        if (warnedAt) {
            ++warnedQuarters;
            if (!newPeak)
                ++falseAlarms;
        }
        if (newPeak) {
            ++newPeaks;
            if (warnedAt) {
                ++warnedPeaks;
                minutesLeft.push_back(double(q.end - keep.seen[*warnedAt].time) / 60'000.0);
            }
        }
        if (crossedAt) {
            ++crossings;
            if (!warnedAt) {
                ++missed;
            } else {
                const int delay = int(*warnedAt) - int(*crossedAt);
                maxDelay = std::max(maxDelay, delay);
                late += delay > 1 ? 1 : 0;
            }
        }
    }

    // The last reading of the month (the one after it only closes its last quarter).
    const CapacityNow& last = *keep.seen[readings - 2].capacity;
    std::printf("month replayed:                 2027-01, Europe/Brussels, appliances seed %llu\n",
                static_cast<unsigned long long>(seed));
    std::printf("readings:                       %zu (every 5 s), %zu quarter-hours\n", readings,
                quarters.size());
    std::printf("month's peak:                   %.0f W (live figures: %.0f W)\n", monthPeak,
                last.monthPeak ? last.monthPeak->averageW : 0.0);
    std::printf("new peaks:                      %d, warned before their end: %d; quarters "
                "within 10 %% below the threshold: %d\n",
                newPeaks, warnedPeaks, close);
    std::printf("minutes left at the warning:    median %.2f, 10th percentile %.2f\n",
                Percentile(minutesLeft, 0.5), Percentile(minutesLeft, 0.1));
    std::printf("false alarms:                   %d of %d quarters warned (no new peak set)\n",
                falseAlarms, warnedQuarters);
    std::printf("forecast crossed the threshold: %d quarters; warning delay at most %d "
                "reading(s), later than one reading: %d, never warned: %d\n",
                crossings, maxDelay, late, missed);
    std::printf("capacity path per reading:      %.1f us (fan-out with the live figures)\n",
                double(handNs) / double(readings) / 1000.0);
    std::printf("poller's start on the month:    %lld ms to seed from %zu readings; month's peak "
                "%.0f W (%s the live figures)\n",
                static_cast<long long>(seedMs), readings - 1,
                started && started->monthPeak.found ? started->monthPeak.peak.averageW : 0.0,
                started && last.monthPeak && started->monthPeak.found &&
                        started->monthPeak.peak.averageW == last.monthPeak->averageW
                    ? "as"
                    : "NOT as");
    return missed == 0 && late == 0 ? 0 : 1;
}
