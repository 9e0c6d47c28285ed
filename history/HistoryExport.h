#pragma once
// Reading the history back out: CSV of a period, the month's quarter-hour peak. Plain functions
// over a database path, for the window and the command line alike.
//
// Command line:
//     kdr31-cli export --from F --to T [--serial S] [--db PATH]
//         QFile out; out.open(stdout, QIODevice::WriteOnly);
//         QString error;
//         if (!ExportHistoryCsv(path, F.toMSecsSinceEpoch(), T.toMSecsSinceEpoch(), serial,
//                               out, &error)) ... error on standard error
//     kdr31-cli peak [--month YYYY-MM] [--serial S] [--db PATH] [--capacity-price EUR]
//         const auto report = MonthlyPeakReport(path, year, month, serial, now, &error, price);
//         if (report) std::fputs(qPrintable(PeakReportText(*report)), stdout);
//     kdr31-cli poll --format csv
//         WriteCsvHeader(out) once, then WriteCsvRecord(out, reading) per reading.
// The path is HistoryStore::DefaultPath() unless --db gives one.

#include "history/CapacityTariff.h"
#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"

#include <QIODevice>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

// CSV as every export of the tool writes it: RFC 4180 records ending in CR LF, UTF-8, the header
// row first (ReadingsCsvHeader, ReadingsCsvLine).
void WriteCsvHeader(QIODevice& out);
void WriteCsvRecord(QIODevice& out, const Reading& reading);

// The readings in [fromMs, toMs) (UTC ms) as CSV with its header, of one device or of all
// without a serial. The database is opened read-only. False, with the reason, when it cannot be
// read or the output cannot be written.
bool ExportHistoryCsv(const QString& databasePath, qint64 fromMs, qint64 toMs,
                      const std::optional<QString>& serial, QIODevice& out, QString* error);

// The import energy counter (High + Low, Wh) of the received readings in [fromMs, toMs), for
// the quarter-hour functions. Without a serial, the device of the newest reading in the period.
std::optional<std::vector<CounterSample>> ImportCounter(const QString& databasePath, qint64 fromMs,
                                                        qint64 toMs, std::optional<QString> serial,
                                                        QString* error);

struct PeakReport {
    int year = 0;
    int month = 0;
    QString serial;
    MonthPeak peak;
    // The quarter-hour running now, when the month is the current one.
    std::optional<QuarterHour> current;
    // The twelve months that end with this one as billed, at the price when one was given.
    CapacityBill bill;
};

// The month's quarter-hour peak and the bill of the twelve months that end with it, in the time
// zone of the PC; `now` (UTC ms) says which quarter is running. From the quarter table
// (EnergyHistory.h): milliseconds on a year of readings. Nothing, with the reason, when the
// database cannot be read.
std::optional<PeakReport> MonthlyPeakReport(const QString& databasePath, int year, int month,
                                            const std::optional<QString>& serial, qint64 now,
                                            QString* error,
                                            std::optional<double> pricePerKwYear = std::nullopt);

// For people, one fact per line:
//   Month: 2026-12
//   Device: 12345678
//   Peak: 4.215 kW, 2026-12-07T18:15:00+01:00 to 18:30
//   Quarter-hours: 2016 complete, 960 incomplete
//   Current quarter-hour: 1.234 kW so far (since 2026-12-20T09:45:00+01:00)
//   2026-01: 4.215 kW, counted 4.215 kW
//   2026-02: missing
//   ... (the twelve months, oldest first)
//   Billed peak: 3.412 kW, the mean of 11 months
// and with a price:
//   Capacity price: 50.00 EUR per kW per year
//   Year's cost at the billed peak: 170.60 EUR
//   This month's peak above the 2.5 kW floor adds: 7.06 EUR
QString PeakReportText(const PeakReport& report);

// A poller that starts mid-month: the month's peak so far and the quarter-hour now's readings,
// from the history, into the live quarter-hour (PollerStartSeed). Nothing happens when the
// history cannot be read.
void SeedLiveQuarter(LiveQuarter& live, const QString& databasePath, qint64 now);

// {"month": "2026-12", "serial": ..., "complete_quarters": N, "incomplete_quarters": N,
//  "peak": {"start", "end", "average_power_w"} or null, "current": {...} when running,
//  "billed_peak_w": W or null, "months_counted": N,
//  "months": [{"month": "2026-01", "peak_w": W or null, "counted_w": W or null}, ...12],
//  and with a price "capacity_price_eur_per_kw_year", "year_cost_eur", "month_above_floor_eur"
//  (null where there is no peak)}: the answer of `kdr31-cli peak --json` and of the HTTP API
// alike. Watts as DeviceNumber writes them, euros to the cent.
QJsonObject PeakReportJson(const PeakReport& report);
QJsonObject QuarterHourJson(const QuarterHour& quarter);

// A period's end as the export takes it: "2026-01-31T18:00:00+01:00", "2026-01-31T18:00" (local
// time) or "2026-01-31" (local midnight; with endOfDay the midnight that ends the day). UTC ms.
std::optional<qint64> ParseHistoryTime(const QString& text, bool endOfDay);
