#include "history/CapacityTariff.h"

#include <algorithm>

std::optional<double> CapacityMonth::CountedW() const {
    if (!peakW)
        return std::nullopt;
    return std::max(CapacityFloorW, *peakW);
}

std::vector<std::pair<int, int>> BilledMonths(int year, int month) {
    std::vector<std::pair<int, int>> result(BilledMonthCount);
    int index = year * 12 + (month - 1);
    for (int i = BilledMonthCount - 1; i >= 0; --i, --index)
        result[size_t(i)] = {index / 12, index % 12 + 1};
    return result;
}

CapacityBill BillOf(std::vector<CapacityMonth> months, std::optional<double> pricePerKwYear) {
    CapacityBill bill;
    bill.months = std::move(months);
    double sum = 0;
    for (const CapacityMonth& m : bill.months) {
        if (const auto counted = m.CountedW()) {
            sum += *counted;
            ++bill.monthsCounted;
        }
    }
    if (bill.monthsCounted > 0)
        bill.billedPeakW = sum / bill.monthsCounted;
    bill.pricePerKwYear = pricePerKwYear;
    if (!pricePerKwYear)
        return bill;
    if (bill.billedPeakW)
        bill.yearCost = *bill.billedPeakW / 1000.0 * *pricePerKwYear;
    if (!bill.months.empty()) {
        if (const auto counted = bill.months.back().CountedW())
            bill.monthAboveFloorCost =
                (*counted - CapacityFloorW) / 1000.0 / BilledMonthCount * *pricePerKwYear;
    }
    return bill;
}

double CapacityThresholdW(std::optional<double> monthPeakW, std::optional<double> targetW) {
    if (targetW)
        return *targetW;
    return std::max(CapacityFloorW, monthPeakW.value_or(0.0));
}

std::optional<double> CapacityHeadroomW(double thresholdW, qint64 quarterStart, qint64 quarterEnd,
                                        qint64 now, double energySoFarWh, double powerNowW) {
    if (now >= quarterEnd || quarterEnd <= quarterStart)
        return std::nullopt;
    constexpr double MsPerHour = 3'600'000.0;
    const double lengthH = double(quarterEnd - quarterStart) / MsPerHour;
    const double leftH = double(quarterEnd - now) / MsPerHour;
    return (thresholdW * lengthH - energySoFarWh) / leftH - powerNowW;
}

bool PeakWarning::Update(qint64 quarterStart, std::optional<double> forecastW, double thresholdW) {
    if (quarterStart != quarter_) {
        quarter_ = quarterStart;
        on_ = false;
    }
    if (!forecastW)
        return on_;
    if (!on_ && *forecastW > thresholdW)
        on_ = true;
    else if (on_ && *forecastW < thresholdW * WarningReleaseShare)
        on_ = false;
    return on_;
}
