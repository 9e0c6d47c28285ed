#include "history/LiveCapacity.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double MsPerHour = 3'600'000.0;
constexpr unsigned ImportPowerBit = 1u << 0;
constexpr unsigned ImportCountersBits = (1u << 1) | (1u << 2); // High and Low

int MonthIndex(int year, int month) {
    return year * 12 + month - 1;
}

QJsonValue Number(const std::optional<double>& value) {
    return value ? QJsonValue(DeviceNumber(*value)) : QJsonValue(QJsonValue::Null);
}

// Money to the cent, as it is billed.
QJsonValue Cents(const std::optional<double>& euros) {
    return euros ? QJsonValue(std::round(*euros * 100) / 100) : QJsonValue(QJsonValue::Null);
}

QJsonValue Time(qint64 ms) {
    return ms ? QJsonValue(IsoLocalTime(ms)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString MonthText(int year, int month) {
    return QStringLiteral("%1-%2")
        .arg(year, 4, 10, QLatin1Char('0'))
        .arg(month, 2, 10, QLatin1Char('0'));
}

void InsertCapacityBill(QJsonObject& json, const CapacityBill& bill) {
    QJsonArray months;
    for (const CapacityMonth& m : bill.months)
        months.append(QJsonObject{{QStringLiteral("month"), MonthText(m.year, m.month)},
                                  {QStringLiteral("peak_w"), Number(m.peakW)},
                                  {QStringLiteral("counted_w"), Number(m.CountedW())}});
    json.insert(QStringLiteral("months"), months);
    json.insert(QStringLiteral("billed_peak_w"), Number(bill.billedPeakW));
    json.insert(QStringLiteral("months_counted"), bill.monthsCounted);
    if (bill.pricePerKwYear) {
        json.insert(QStringLiteral("capacity_price_eur_per_kw_year"), *bill.pricePerKwYear);
        json.insert(QStringLiteral("year_cost_eur"), Cents(bill.yearCost));
        json.insert(QStringLiteral("month_above_floor_eur"), Cents(bill.monthAboveFloorCost));
    }
}

QJsonObject CapacityJson(const CapacityNow& now) {
    QJsonObject json{
        {QStringLiteral("time"), Time(now.time)},
        {QStringLiteral("quarter_hour_start"), Time(now.quarterStart)},
        {QStringLiteral("quarter_hour_end"), Time(now.quarterEnd)},
        {QStringLiteral("quarter_hour_average_power_w"), Number(now.quarterAverageW)},
        {QStringLiteral("quarter_hour_forecast_power_w"), Number(now.quarterForecastW)},
        {QStringLiteral("month_peak_power_w"),
         Number(now.monthPeak ? std::optional<double>(now.monthPeak->averageW) : std::nullopt)},
        {QStringLiteral("month_peak_start"), Time(now.monthPeak ? now.monthPeak->start : 0)},
        {QStringLiteral("capacity_threshold_w"), DeviceNumber(now.thresholdW)},
        {QStringLiteral("capacity_target_w"),
         Number(now.thresholdIsTarget ? std::optional<double>(now.thresholdW) : std::nullopt)},
        {QStringLiteral("capacity_headroom_w"), Number(now.headroomW)},
        {QStringLiteral("peak_warning"), now.peakWarning},
        {QStringLiteral("peak_warning_minutes_left"), Number(now.warningMinutesLeft)},
        {QStringLiteral("peak_warning_since"), Time(now.warningSince)},
    };
    if (now.bill)
        InsertCapacityBill(json, *now.bill);
    return json;
}

LiveCapacity::LiveCapacity(const QTimeZone& zone, CapacityOptions options, qint64 maxGapMs)
    : zone_(zone), maxGapMs_(maxGapMs), options_(options), quarter_(zone, maxGapMs),
      powerW_(std::numeric_limits<double>::quiet_NaN()) {}

void LiveCapacity::Reset() {
    quarter_ = LiveQuarter(zone_, maxGapMs_);
    warning_ = PeakWarning();
    warningShown_ = false;
    warningQuarter_ = 0;
    warningSince_ = 0;
    newest_ = 0;
    powerW_ = std::numeric_limits<double>::quiet_NaN();
    monthPeaks_.clear();
    bill_.reset();
}

void LiveCapacity::Seed(const CapacitySeed& seed) {
    Reset();
    for (const CapacityMonth& m : seed.earlier)
        if (m.peakW)
            monthPeaks_[MonthIndex(m.year, m.month)] = *m.peakW;
    quarter_.Seed(seed.year, seed.month, seed.monthPeak);
    // The power is not in the counter: the forecast waits for the first live reading.
    for (const CounterSample& sample : seed.runningQuarter) {
        if (sample.time <= newest_)
            continue;
        quarter_.Add(sample, std::numeric_limits<double>::quiet_NaN());
        newest_ = sample.time;
    }
    KeepMonthPeak();
}

void LiveCapacity::KeepMonthPeak() {
    const auto [year, month] = quarter_.KeptMonth();
    if (year == 0)
        return;
    const int index = MonthIndex(year, month);
    if (const std::optional<QuarterHour>& peak = quarter_.KeptPeak())
        monthPeaks_[index] = peak->averageW;
    // Only the months a bill can still hold.
    monthPeaks_.erase(monthPeaks_.begin(), monthPeaks_.lower_bound(index - BilledMonthCount));
}

std::optional<double> LiveCapacity::PeakOfMonth(int year, int month) const {
    const auto it = monthPeaks_.find(MonthIndex(year, month));
    if (it == monthPeaks_.end())
        return std::nullopt;
    return it->second;
}

CapacityNow LiveCapacity::Update(const Reading& reading) {
    const ReadingsRow& row = reading.row;
    if (row.state == ReadingsRow::Received && !reading.implausible &&
        (row.present & ImportCountersBits) == ImportCountersBits && row.time > newest_) {
        const double power = (row.present & ImportPowerBit)
                                 ? double(row.fields[0])
                                 : std::numeric_limits<double>::quiet_NaN();
        quarter_.Add({row.time, double(row.fields[1]) + double(row.fields[2])}, power);
        newest_ = row.time;
        powerW_ = power;
        KeepMonthPeak();
    }

    const qint64 now = row.time;
    const LiveQuarter::Now q = quarter_.At(now);
    CapacityNow c;
    c.time = now;
    c.quarterStart = q.quarterStart;
    c.quarterEnd = q.quarterEnd;
    c.quarterAverageW = q.averageW;
    c.quarterForecastW = q.forecastW;
    c.monthPeak = q.monthPeak;
    c.thresholdIsTarget = options_.targetW.has_value();
    c.thresholdW = CapacityThresholdW(q.monthPeak ? std::optional<double>(q.monthPeak->averageW)
                                                  : std::nullopt,
                                      options_.targetW);
    // The average so far runs to the newest counter reading; so does the energy behind it.
    if (q.averageW && std::isfinite(powerW_) && newest_ > q.quarterStart) {
        const double energyWh = *q.averageW * double(newest_ - q.quarterStart) / MsPerHour;
        c.headroomW = CapacityHeadroomW(c.thresholdW, q.quarterStart, q.quarterEnd, newest_,
                                        energyWh, powerW_);
    }

    c.peakWarning = warning_.Update(q.quarterStart, q.forecastW, c.thresholdW);
    const bool sameQuarter = warningQuarter_ == q.quarterStart;
    c.warningEnded = warningShown_ && (!c.peakWarning || !sameQuarter);
    c.warningStarted = c.peakWarning && (!warningShown_ || !sameQuarter);
    if (c.warningStarted)
        warningSince_ = now;
    warningShown_ = c.peakWarning;
    warningQuarter_ = q.quarterStart;
    if (c.peakWarning) {
        c.warningSince = warningSince_;
        c.warningMinutesLeft = double(std::max<qint64>(0, q.quarterEnd - now)) / 60'000.0;
    }

    const QDate day = QDateTime::fromMSecsSinceEpoch(now, zone_).date();
    std::vector<CapacityMonth> months;
    months.reserve(BilledMonthCount);
    for (const auto& [year, month] : BilledMonths(day.year(), day.month()))
        months.push_back({year, month, PeakOfMonth(year, month)});
    // The month in progress counts with its peak so far, and only once it has one: until its
    // first quarter is complete, it is as missing as a month the history does not hold.
    months.back().peakW = q.monthPeak ? std::optional<double>(q.monthPeak->averageW) : std::nullopt;
    const auto same = [](const CapacityMonth& a, const CapacityMonth& b) {
        return a.year == b.year && a.month == b.month && a.peakW == b.peakW;
    };
    if (!bill_ || bill_->pricePerKwYear != options_.pricePerKwYear ||
        !std::equal(months.begin(), months.end(), bill_->months.begin(), bill_->months.end(), same))
        bill_ = std::make_shared<const CapacityBill>(
            BillOf(std::move(months), options_.pricePerKwYear));
    c.bill = bill_;
    return c;
}
