#pragma once
// Energy over calendar intervals from the meter's cumulative counters, and the quarter-hour peak
// that the capacity tariff bills: the highest average import power over a quarter-hour of the
// month. No I/O: the caller hands in the counter samples, the time zone and the gap allowed.
//
// A counter's value at an interval boundary is interpolated between the readings just before and
// just after it. An interval is complete only when readings cover it with no two consecutive
// readings (including the two around each boundary) further apart than maxGapMs and the counter
// never goes down (a meter or device swap); an incomplete interval gets no value at all, because
// the consumption in a gap is not known and a guessed peak would be billed as a real one.
//
// Boundaries follow local wall-clock time: a quarter starts where the local clock reads :00,
// :15, :30 or :45, an hour where it reads :00, a day at local midnight. Each boundary is an
// instant, so on the night the clocks go back the repeated hour gives four more quarters of its
// own (told apart by their UTC offset) and no energy is counted twice; on the night they go
// forward the skipped hour has no quarters.

#include <QTimeZone>
#include <optional>
#include <utility>
#include <vector>

// A cumulative counter (Wh, or m3 for gas) at an instant (UTC, ms since the epoch).
struct CounterSample {
    qint64 time = 0;
    double value = 0;
};

struct IntervalDelta {
    qint64 start = 0; // UTC ms, inclusive
    qint64 end = 0;   // UTC ms, exclusive
    bool complete = false;
    double delta = 0; // counter difference over the interval; 0 when incomplete
};

struct QuarterHour {
    qint64 start = 0;
    qint64 end = 0;
    bool complete = false;
    double averageW = 0; // average import power; 0 when incomplete
};

struct MonthPeak {
    bool found = false; // false when no quarter of the month is complete
    QuarterHour peak;
    int completeQuarters = 0;
    int incompleteQuarters = 0;
};

// The readings of the device that the poll missed for longer than this leave a gap: three
// times the longest refresh interval the device allows.
constexpr qint64 DefaultMaxGapMs = 180'000;

// Start of the quarter-hour, hour or local day that holds the instant.
qint64 QuarterStart(qint64 time, const QTimeZone& zone);
qint64 HourStart(qint64 time, const QTimeZone& zone);
qint64 DayStart(qint64 time, const QTimeZone& zone);

// Boundaries of the intervals that overlap [from, to): the first at or before from, the last at
// or after to.
enum class Calendar { QuarterHour, Hour, Day };
std::vector<qint64> Boundaries(qint64 from, qint64 to, Calendar unit, const QTimeZone& zone);

// Counter differences over consecutive boundaries; samples sorted by time.
std::vector<IntervalDelta> IntervalDeltas(const std::vector<CounterSample>& samples,
                                          const std::vector<qint64>& boundaries,
                                          qint64 maxGapMs = DefaultMaxGapMs);

// Average import power per quarter-hour over [from, to), from the import energy counter
// (High + Low, Wh).
std::vector<QuarterHour> QuarterHours(const std::vector<CounterSample>& importWh, qint64 from,
                                      qint64 to, const QTimeZone& zone,
                                      qint64 maxGapMs = DefaultMaxGapMs);

// The quarter-hour after the one that starts at quarterStart: its end.
qint64 QuarterEnd(qint64 quarterStart, const QTimeZone& zone);

// The energy of one quarter-hour from the import and the export counter (High + Low, Wh): a
// counter's energy only when its readings cover the quarter whole, by the rule of IntervalDeltas.
struct QuarterEnergy {
    qint64 start = 0;
    qint64 end = 0;
    std::optional<double> importWh;
    std::optional<double> exportWh;

    // As QuarterHours gives it: complete with the average import power when import is whole.
    QuarterHour Import() const;
};

// The complete quarter-hours of one counter while its samples come in time order, with the
// values IntervalDeltas gives on all of them at once: a quarter is handed out when the first
// sample at or after its end arrives (nothing closes a quarter sooner: that sample's counter
// is interpolated to the boundary). It holds only the samples since the last quarter boundary,
// so a year of readings streams through it in constant memory.
class QuarterStream {
public:
    explicit QuarterStream(const QTimeZone& zone, qint64 maxGapMs = DefaultMaxGapMs);

    // A sample later than the one before (an earlier one, or one at the same time, is ignored):
    // appends the complete quarters it closes to `closed`.
    void Add(const CounterSample& sample, std::vector<IntervalDelta>& closed);

private:
    QTimeZone zone_;
    qint64 maxGapMs_;
    std::vector<CounterSample> samples_;
    qint64 quarterStart_ = 0; // the quarter that holds the newest sample
    qint64 quarterEnd_ = 0;
};

// Start and end (UTC ms) of a calendar month in local time.
std::pair<qint64, qint64> MonthSpan(int year, int month, const QTimeZone& zone);

// The month's highest complete quarter-hour (the earliest of equal ones).
MonthPeak PeakOfMonth(const std::vector<CounterSample>& importWh, int year, int month,
                      const QTimeZone& zone, qint64 maxGapMs = DefaultMaxGapMs);

// Average import power so far in the quarter-hour that holds now: from the quarter's start to
// the last reading at or before now. No value before the quarter has a reading of its own,
// when a gap lies in between, or when the last reading is older than the gap allowed.
std::optional<double> RunningQuarterAverage(const std::vector<CounterSample>& importWh, qint64 now,
                                            const QTimeZone& zone,
                                            qint64 maxGapMs = DefaultMaxGapMs);

// The capacity tariff as it runs: the quarter-hour now and the month's peak so far, kept up to
// date reading by reading with the functions above, so a live answer and `kdr31-cli peak` agree.
// It keeps only the samples of the quarter now (and the one before it), so it costs the same
// after a month of polling as after an hour.
class LiveQuarter {
public:
    explicit LiveQuarter(const QTimeZone& zone, qint64 maxGapMs = DefaultMaxGapMs);

    // The month's peak before the first Add, from the history (PeakOfMonth of that month).
    void Seed(int year, int month, const MonthPeak& peak);

    // A received reading: the import energy counter (High + Low, Wh) and the import power (W;
    // NaN when not known, as for readings from the history: then no forecast).
    // Samples must come in time order; an older one is ignored.
    void Add(const CounterSample& importWh, double importPowerW);

    struct Now {
        qint64 quarterStart = 0;
        qint64 quarterEnd = 0;
        std::optional<double> averageW;  // so far, as RunningQuarterAverage
        std::optional<double> forecastW; // the end value if the power stays as it is now
        std::optional<QuarterHour> monthPeak;
    };
    Now At(qint64 now) const;

    // The month whose peak it keeps (0, 0 before a Seed or a closed quarter) and that peak so
    // far. A month's last quarter closes only at the first reading after it, so this month may
    // be the one before At(now)'s for the first quarter of a month.
    std::pair<int, int> KeptMonth() const { return {year_, month_}; }
    const std::optional<QuarterHour>& KeptPeak() const { return peak_; }

private:
    void CloseQuarter(qint64 start, qint64 end);

    QTimeZone zone_;
    qint64 maxGapMs_;
    std::vector<CounterSample> samples_;
    double powerW_ = 0;
    int year_ = 0;
    int month_ = 0;
    std::optional<QuarterHour> peak_;
};
