#include "history/EnergyHistory.h"

#include "history/HistoryStore.h"

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>

namespace {

// The quarter table's rows in [from, to) of one device: the one named, or the newest before
// `to`, whose serial is put in `device` (empty when the history has no reading at all). The
// history is opened read-only in `store`, which stays open for more.
std::optional<std::vector<QuarterEnergy>> ReadQuarters(HistoryStore& store, const QString& path,
                                                       const std::optional<QString>& serial,
                                                       qint64 from, qint64 to, QString& device,
                                                       QString* error) {
    if (!store.Open(path, true)) {
        if (error)
            *error = store.ErrorText();
        return std::nullopt;
    }
    device = serial ? *serial : store.NewestSerial(to).value_or(QString());
    auto quarters = store.Quarters(device, from, to);
    if (!quarters && error)
        *error = store.ErrorText();
    return quarters;
}

// Quarter-hours from one boundary to another, as many as QuarterHours gives over [from, to).
int QuarterCount(qint64 from, qint64 to, const QTimeZone& zone) {
    return to <= from ? 0 : int(Boundaries(from, to, Calendar::QuarterHour, zone).size()) - 1;
}

// The months that end with (year, month), monthCount of them.
std::pair<qint64, qint64> BilledSpan(int year, int month, const QTimeZone& zone,
                                     int monthCount = BilledMonthCount) {
    const auto first = BilledMonths(
        year, month)[size_t(BilledMonthCount - std::clamp(monthCount, 1, BilledMonthCount))];
    return {MonthSpan(first.first, first.second, zone).first, MonthSpan(year, month, zone).second};
}

} // namespace

std::vector<CapacityMonth> CapacityMonthsOf(const std::vector<QuarterEnergy>& quarters, int year,
                                            int month, const QTimeZone& zone, int monthCount) {
    std::vector<CapacityMonth> months;
    auto q = quarters.begin();
    const auto billed = BilledMonths(year, month);
    for (auto [y, m] : std::vector<std::pair<int, int>>(
             billed.end() - std::clamp(monthCount, 1, BilledMonthCount), billed.end())) {
        const auto [from, to] = MonthSpan(y, m, zone);
        CapacityMonth result{y, m, std::nullopt};
        for (q = std::find_if(q, quarters.end(),
                              [from = from](const QuarterEnergy& e) { return e.start >= from; });
             q != quarters.end() && q->start < to; ++q) {
            if (!q->importWh)
                continue;
            const double average = q->Import().averageW;
            if (!result.peakW || average > *result.peakW)
                result.peakW = average;
        }
        months.push_back(result);
    }
    return months;
}

MonthPeak MonthPeakOf(const std::vector<QuarterEnergy>& quarters, qint64 from, qint64 to,
                      qint64 now, const QTimeZone& zone) {
    MonthPeak result;
    // Quarter-hours from the one running now on are not there yet: not incomplete either.
    const qint64 ended = now < to ? std::max(from, QuarterStart(now, zone)) : to;
    int completeBefore = 0;
    for (const QuarterEnergy& q : quarters) {
        if (q.start < from || q.start >= to || !q.importWh)
            continue;
        ++result.completeQuarters;
        completeBefore += q.start < ended ? 1 : 0;
        const QuarterHour hour = q.Import();
        if (!result.found || hour.averageW > result.peak.averageW) {
            result.found = true;
            result.peak = hour;
        }
    }
    result.incompleteQuarters = QuarterCount(from, ended, zone) - completeBefore;
    return result;
}

std::optional<std::vector<CapacityMonth>> CapacityMonths(const QString& databasePath, int year,
                                                         int month,
                                                         const std::optional<QString>& serial,
                                                         QString* error) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const auto [from, to] = BilledSpan(year, month, zone);
    HistoryStore store;
    QString device;
    const auto quarters = ReadQuarters(store, databasePath, serial, from, to, device, error);
    if (!quarters)
        return std::nullopt;
    return CapacityMonthsOf(*quarters, year, month, zone);
}

std::optional<std::vector<QuarterHour>> DayQuarterHours(const QString& databasePath,
                                                        const QDate& day,
                                                        const std::optional<QString>& serial,
                                                        QString* error) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const qint64 from = day.startOfDay(zone).toMSecsSinceEpoch();
    const qint64 to = day.addDays(1).startOfDay(zone).toMSecsSinceEpoch();
    HistoryStore store;
    QString device;
    const auto quarters = ReadQuarters(store, databasePath, serial, from, to, device, error);
    if (!quarters)
        return std::nullopt;
    std::vector<QuarterHour> result;
    const std::vector<qint64> bounds = Boundaries(from, to, Calendar::QuarterHour, zone);
    auto q = quarters->begin();
    for (size_t i = 1; i < bounds.size(); ++i) {
        while (q != quarters->end() && q->start < bounds[i - 1])
            ++q;
        if (q != quarters->end() && q->start == bounds[i - 1]) {
            result.push_back(q->Import());
        } else {
            QuarterHour missing;
            missing.start = bounds[i - 1];
            missing.end = bounds[i];
            result.push_back(missing);
        }
    }
    return result;
}

std::optional<std::vector<DayEnergy>> DayTotals(const QString& databasePath, const QDate& first,
                                                const QDate& last,
                                                const std::optional<QString>& serial,
                                                QString* error) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    std::vector<DayEnergy> days;
    for (QDate day = first; day.isValid() && day <= last; day = day.addDays(1))
        days.push_back({day, day.startOfDay(zone).toMSecsSinceEpoch(),
                        day.addDays(1).startOfDay(zone).toMSecsSinceEpoch(), std::nullopt,
                        std::nullopt});
    if (days.empty())
        return days;
    HistoryStore store;
    QString device;
    const auto quarters = ReadQuarters(store, databasePath, serial, days.front().start,
                                       days.back().end, device, error);
    if (!quarters)
        return std::nullopt;
    auto q = quarters->begin();
    for (DayEnergy& day : days) {
        int imports = 0;
        int exports = 0;
        double importWh = 0;
        double exportWh = 0;
        for (; q != quarters->end() && q->start < day.end; ++q) {
            if (q->importWh) {
                ++imports;
                importWh += *q->importWh;
            }
            if (q->exportWh) {
                ++exports;
                exportWh += *q->exportWh;
            }
        }
        const int quarterCount = QuarterCount(day.start, day.end, zone);
        if (imports == quarterCount)
            day.importWh = importWh;
        if (exports == quarterCount)
            day.exportWh = exportWh;
    }
    return days;
}

std::optional<PollerSeed> PollerStartSeed(const QString& databasePath, qint64 now,
                                          const std::optional<QString>& serial, QString* error,
                                          int monthCount) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const QDate today = QDateTime::fromMSecsSinceEpoch(now, zone).date();
    PollerSeed seed;
    seed.year = today.year();
    seed.month = today.month();
    const auto [from, to] = BilledSpan(seed.year, seed.month, zone, monthCount);
    HistoryStore store;
    const auto quarters = ReadQuarters(store, databasePath, serial, from, to, seed.serial, error);
    if (!quarters)
        return std::nullopt;
    const auto [monthFrom, monthTo] = MonthSpan(seed.year, seed.month, zone);
    seed.peak = MonthPeakOf(*quarters, monthFrom, monthTo, now, zone);
    seed.months = CapacityMonthsOf(*quarters, seed.year, seed.month, zone, monthCount);
    const bool read = store.ForEachCounter(
        seed.serial, QuarterStart(now, zone) - DefaultMaxGapMs, now + 1,
        [&](qint64 time, std::optional<double> importWh, std::optional<double>) {
            if (importWh)
                seed.quarterImportWh.push_back({time, *importWh});
        });
    if (!read) {
        if (error)
            *error = store.ErrorText();
        return std::nullopt;
    }
    return seed;
}
