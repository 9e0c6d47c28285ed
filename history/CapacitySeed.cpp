#include "history/CapacitySeed.h"

#include "history/HistoryExport.h"

#include <QDateTime>

std::optional<CapacitySeed> ReadCapacitySeed(const QString& databasePath, const QString& serial,
                                             qint64 now) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const QDate today = QDateTime::fromMSecsSinceEpoch(now, zone).date();
    QString error;
    CapacitySeed seed;
    seed.year = today.year();
    seed.month = today.month();
    // One pass over each month's readings. A history of a year of 5-second readings takes
    // seconds this way; once the history keeps its quarter-hours, they are read from there.
    for (const auto& [year, month] : BilledMonths(today.year(), today.month())) {
        const auto report = MonthlyPeakReport(databasePath, year, month, serial, now, &error);
        if (!report)
            return std::nullopt;
        if (year == seed.year && month == seed.month)
            seed.monthPeak = report->peak;
        else if (report->peak.found)
            seed.earlier.push_back({year, month, report->peak.peak.averageW});
    }
    const auto samples = ImportCounter(databasePath, QuarterStart(now, zone) - DefaultMaxGapMs,
                                       now + 1, serial, &error);
    if (!samples)
        return std::nullopt;
    seed.runningQuarter = *samples;
    return seed;
}

std::optional<std::vector<CapacityMonth>> ReadBilledMonths(const QString& databasePath, int year,
                                                           int month,
                                                           const std::optional<QString>& serial,
                                                           qint64 now, QString* error) {
    // One pass over each month's readings, as the seed reads them.
    std::vector<CapacityMonth> months;
    for (const auto& [y, m] : BilledMonths(year, month)) {
        const auto report = MonthlyPeakReport(databasePath, y, m, serial, now, error);
        if (!report)
            return std::nullopt;
        months.push_back(
            {y, m, report->peak.found ? std::optional(report->peak.peak.averageW) : std::nullopt});
    }
    return months;
}
