#pragma once
// The capacity tariff as it runs, worked out once per reading for everyone who shows it: the
// quarter-hour now and its forecast, the month's peak so far, the threshold, the headroom, the
// peak warning and the bill of the twelve months with this one at its peak so far. No I/O: the
// caller seeds it from the history (CapacitySeed) and hands it every reading.
//
// The figures of one reading are one CapacityNow, made once and shared, read-only, by every
// sink that is handed the reading (Reading::capacity): the history, MQTT, HTTP and the window
// all show the same numbers for the same reading, and a queue of readings holds a pointer each,
// not a copy of the figures.

#include "history/CapacityTariff.h"
#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"

#include <QJsonObject>
#include <QTimeZone>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// What a household chose about its capacity tariff.
struct CapacityOptions {
    // A threshold of its own choosing instead of the month's peak so far (W).
    std::optional<double> targetW;
    // EUR per kW per year, for the costs.
    std::optional<double> pricePerKwYear;
};

// Where the live figures take up from the history when a poller starts.
struct CapacitySeed {
    int year = 0; // the month in progress at the start
    int month = 0;
    MonthPeak monthPeak;                // its complete quarters before the one running
    std::vector<CapacityMonth> earlier; // months before it; a month not listed is missing
    // The import counter (High + Low, Wh) from the last reading at or before the running
    // quarter's start to the newest: the quarter goes on from them rather than from scratch.
    std::vector<CounterSample> runningQuarter;
};

// The capacity tariff as it stood at one reading.
struct CapacityNow {
    qint64 time = 0; // the reading's, UTC ms

    // The quarter-hour now: start and end (UTC ms), its average import power so far, and the
    // forecast of its average if the power stays as it is (nothing until the quarter has a
    // reading of its own after a reading before its start, or after a gap).
    qint64 quarterStart = 0;
    qint64 quarterEnd = 0;
    std::optional<double> quarterAverageW;
    std::optional<double> quarterForecastW;
    // The month's highest complete quarter-hour so far (nothing: none complete yet).
    std::optional<QuarterHour> monthPeak;

    // What the quarter may reach without raising the bill: the household's target, or the
    // month's peak so far and at least the floor.
    double thresholdW = CapacityFloorW;
    bool thresholdIsTarget = false;
    // The extra power that may be drawn from the newest reading to the quarter's end without the
    // average passing the threshold; negative: what to switch off.
    std::optional<double> headroomW;

    bool peakWarning = false;
    std::optional<double> warningMinutesLeft; // while it is on
    qint64 warningSince = 0;                  // the reading that turned it on; 0 while off
    // The warning went off or on with this reading. Both at a quarter's first reading when the
    // previous quarter's warning ended with it and the new quarter's began at once.
    bool warningEnded = false;
    bool warningStarted = false;

    // The twelve months ending with this one, this one at its peak so far. Shared by the figures
    // of every reading until a month's peak, the month or the price changes.
    std::shared_ptr<const CapacityBill> bill;
};

// "2026-01".
QString MonthText(int year, int month);

// {"months": [{"month": "2025-02", "peak_w": 3120.5 or null, "counted_w": 3120.5 or null}, ...
// oldest first], "billed_peak_w": number or null, "months_counted": N}, and with a price
// "capacity_price_eur_per_kw_year", "year_cost_eur" and "month_above_floor_eur" (to the cent):
// the bill's keys, as `kdr31-cli peak --json` and the live figures both carry them.
void InsertCapacityBill(QJsonObject& json, const CapacityBill& bill);

// Every figure of CapacityNow under the names its readers know, numbers rounded as the device's
// values (DeviceNumber), each key always there and null while it has no value:
// "time", "quarter_hour_start", "quarter_hour_end", "quarter_hour_average_power_w",
// "quarter_hour_forecast_power_w", "month_peak_power_w", "month_peak_start",
// "capacity_threshold_w", "capacity_target_w" (null without a target), "capacity_headroom_w",
// "peak_warning" (true/false), "peak_warning_minutes_left", "peak_warning_since", and the
// bill's keys (InsertCapacityBill).
QJsonObject CapacityJson(const CapacityNow& now);

class LiveCapacity {
public:
    explicit LiveCapacity(const QTimeZone& zone, CapacityOptions options = {},
                          qint64 maxGapMs = DefaultMaxGapMs);

    void SetOptions(const CapacityOptions& options) { options_ = options; }
    const CapacityOptions& Options() const { return options_; }

    // Forgets everything (another meter), then starts from the seed.
    void Seed(const CapacitySeed& seed);
    void Reset();

    // A reading handed on by the poll, already judged for plausibility. A received, plausible
    // one with both import counters moves the quarter on; any other (failed, implausible) only
    // gives the figures at its time, the warning as it was.
    CapacityNow Update(const Reading& reading);

private:
    void KeepMonthPeak();
    std::optional<double> PeakOfMonth(int year, int month) const;

    QTimeZone zone_;
    qint64 maxGapMs_;
    CapacityOptions options_;
    LiveQuarter quarter_;
    PeakWarning warning_;
    bool warningShown_ = false; // as the previous figures said
    qint64 warningQuarter_ = 0; // the quarter of that warning
    qint64 warningSince_ = 0;
    qint64 newest_ = 0; // time of the newest counter reading taken
    double powerW_;     // import power of that reading; NaN when not known (from the history)
    std::map<int, double> monthPeaks_; // year * 12 + month - 1: that month's peak, W
    std::shared_ptr<const CapacityBill> bill_;
};
