#pragma once
// The capacity tariff as the grid operator bills it, and the arithmetic of acting in time. No I/O:
// the callers hand in the months' peaks (from the history) and the quarter-hour now (from the
// live readings).
//
// - A month's peak is its highest complete quarter-hour of average import power (PeakOfMonth).
//   It counts at no less than the floor of 2.5 kW: a month at 1.8 kW is billed as 2.5 kW.
// - The billed peak is the mean of the counted peaks of the 12 months that end with the month
//   billed; the month in progress counts with its peak so far. A month of which the history holds
//   no complete quarter-hour is missing, not zero: it is left out of the mean, and the answer
//   says how many months were counted.
// - With a price per kW per year, the year's cost is the billed peak at that price, and a month
//   above the floor adds its excess over the floor, one twelfth of it, to every bill it is in.
//
// While a quarter runs, the threshold is what the quarter may reach without costing anything
// more: the month's peak so far, at least the floor, or a target the household set itself. The
// headroom is the extra power that may be drawn from now to the quarter's end without its average
// passing the threshold; a negative headroom is what to switch off. The warning goes on when the
// quarter's forecast passes the threshold, and off at the quarter's end or once the forecast is
// 5 % below the threshold, so it does not flap on a forecast that hovers around it.

#include <QtGlobal>
#include <optional>
#include <utility>
#include <vector>

constexpr double CapacityFloorW = 2500.0;
constexpr int BilledMonthCount = 12;
// The warning ends once the forecast is below this share of the threshold.
constexpr double WarningReleaseShare = 0.95;

struct CapacityMonth {
    int year = 0;
    int month = 0;
    std::optional<double> peakW; // nothing: no complete quarter-hour in the history (missing)

    // The peak as billed: at least the floor. Nothing for a missing month.
    std::optional<double> CountedW() const;
};

struct CapacityBill {
    std::vector<CapacityMonth> months; // BilledMonthCount, oldest first, the month billed last
    std::optional<double> billedPeakW; // the mean of the counted peaks; nothing when none counts
    int monthsCounted = 0;
    // With a price (EUR per kW per year):
    std::optional<double> pricePerKwYear;
    std::optional<double> yearCost; // the billed peak at that price
    // What the month billed adds over the floor to the year's cost: its counted peak's excess
    // over 2.5 kW, one twelfth of it, at the price. 0 for a month at or below the floor.
    std::optional<double> monthAboveFloorCost;
};

// The BilledMonthCount (year, month) pairs that end with the one given, oldest first.
std::vector<std::pair<int, int>> BilledMonths(int year, int month);

// The bill for the months given (BilledMonths order; the last is the month billed).
CapacityBill BillOf(std::vector<CapacityMonth> months,
                    std::optional<double> pricePerKwYear = std::nullopt);

// What a quarter may reach without raising the bill: the target when one is set, otherwise the
// month's peak so far and at least the floor.
double CapacityThresholdW(std::optional<double> monthPeakW, std::optional<double> targetW);

// The extra power that may be drawn from `now` to the quarter's end without its average rising
// above the threshold: (threshold x quarter length - energy so far) / time left - power now.
// Times in ms, energy in Wh, power in W. Nothing when no time is left.
std::optional<double> CapacityHeadroomW(double thresholdW, qint64 quarterStart, qint64 quarterEnd,
                                        qint64 now, double energySoFarWh, double powerNowW);

// The warning of one running quarter, with its hysteresis. Update it at every reading.
class PeakWarning {
public:
    // forecastW: the quarter's forecast average (nothing: no forecast, the warning stays as it
    // is). A new quarterStart ends a warning of the previous quarter first. Returns whether the
    // warning is on.
    bool Update(qint64 quarterStart, std::optional<double> forecastW, double thresholdW);
    bool On() const { return on_; }

private:
    qint64 quarter_ = 0;
    bool on_ = false;
};
