#pragma once
// The history read fast, for every front end: the capacity tariff's months, the quarter-hours of
// a day, day totals and the seed of a poller that starts mid-month, from the history's quarter
// table (HistoryStore::Quarters) rather than its readings. On a year of 5-second readings each
// answers in milliseconds, where the readings take seconds.
//
// Each opens the database read-only and gives nothing, with the reason, when it cannot be read.
// Without a serial they read the device of the newest reading before the period's end (an empty
// history: no device, and every quarter missing). Times are the PC's local time.
//
//     const auto months = CapacityMonths(path, 2026, 12, std::nullopt, &error);
//     if (months) bill = BillOf(*months, price);

#include "history/CapacityTariff.h"
#include "history/QuarterPeak.h"

#include <QDate>
#include <QString>
#include <optional>
#include <vector>

// The BilledMonthCount months that end with (year, month), oldest first, each with its peak:
// its highest complete quarter-hour of import power, the month in progress with its peak so
// far; missing when it has no complete quarter-hour. One read of up to 36,000 table rows.
std::optional<std::vector<CapacityMonth>> CapacityMonths(const QString& databasePath, int year,
                                                         int month,
                                                         const std::optional<QString>& serial,
                                                         QString* error);

// The quarter-hours of a local day, complete or not, as QuarterHours gives them on the readings:
// 96, or 92 and 100 on the nights the clocks change.
std::optional<std::vector<QuarterHour>> DayQuarterHours(const QString& databasePath,
                                                        const QDate& day,
                                                        const std::optional<QString>& serial,
                                                        QString* error);

struct DayEnergy {
    QDate day;
    qint64 start = 0; // UTC ms: local midnight
    qint64 end = 0;
    // The sum of the day's quarter-hours, which is the counter's difference over the day; only
    // when the counter covers every quarter of the day (a day in progress has none yet).
    std::optional<double> importWh;
    std::optional<double> exportWh;
};

// The import and export energy of the local days first to last, both included: a month of days
// reads some 3,000 table rows.
std::optional<std::vector<DayEnergy>> DayTotals(const QString& databasePath, const QDate& first,
                                                const QDate& last,
                                                const std::optional<QString>& serial,
                                                QString* error);

// What a poller that starts mid-month carries on from: the month's peak so far, the months for
// the bill (monthCount of them, oldest first, ending with this one so far, as CapacityMonths) and
// the readings of the quarter-hour now, from the gap allowed before its start (for
// LiveQuarter::Add, RunningQuarterAverage). Twelve months cost what CapacityMonths costs; one
// month, a twelfth of it, which matters where the table is not there yet and the quarters come
// from the readings.
struct PollerSeed {
    QString serial;
    int year = 0;
    int month = 0;
    MonthPeak peak;
    std::vector<CapacityMonth> months;
    std::vector<CounterSample> quarterImportWh;
};
std::optional<PollerSeed> PollerStartSeed(const QString& databasePath, qint64 now,
                                          const std::optional<QString>& serial, QString* error,
                                          int monthCount = BilledMonthCount);

// The months that end with (year, month), BilledMonthCount of them unless told, from the
// quarters of their span (HistoryStore::Quarters, in time order); oldest first.
std::vector<CapacityMonth> CapacityMonthsOf(const std::vector<QuarterEnergy>& quarters, int year,
                                            int month, const QTimeZone& zone,
                                            int monthCount = BilledMonthCount);

// The month's peak from its quarters (HistoryStore::Quarters of [from, to) of MonthSpan) as
// PeakOfMonth gives it on the readings; quarter-hours from the one running at `now` on are not
// there yet, so they are not counted as incomplete.
MonthPeak MonthPeakOf(const std::vector<QuarterEnergy>& quarters, qint64 from, qint64 to,
                      qint64 now, const QTimeZone& zone);
