#include "history/HistoryExport.h"

#include "history/LiveCapacity.h"

#include "history/EnergyHistory.h"
#include "history/HistoryStore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

bool Write(QIODevice& out, const QString& text) {
    const QByteArray bytes = text.toUtf8() + "\r\n";
    return out.write(bytes) == bytes.size();
}

bool OpenForReading(HistoryStore& store, const QString& path, QString* error) {
    if (store.Open(path, true))
        return true;
    if (error)
        *error = store.ErrorText();
    return false;
}

QString Kilowatts(double watts) {
    return QString::number(watts / 1000.0, 'f', 3) + QStringLiteral(" kW");
}

QString Euros(double euros) {
    return QString::number(euros, 'f', 2) + QStringLiteral(" EUR");
}

QString LocalTime(qint64 ms) {
    return IsoLocalTime(ms);
}

} // namespace

void WriteCsvHeader(QIODevice& out) {
    Write(out, ReadingsCsvHeader());
}

void WriteCsvRecord(QIODevice& out, const Reading& reading) {
    Write(out, ReadingsCsvLine(reading));
}

bool ExportHistoryCsv(const QString& databasePath, qint64 fromMs, qint64 toMs,
                      const std::optional<QString>& serial, QIODevice& out, QString* error) {
    HistoryStore store;
    if (!OpenForReading(store, databasePath, error))
        return false;
    bool written = Write(out, ReadingsCsvHeader());
    const bool read = written && store.ForEach(fromMs, toMs, serial, [&](const Reading& r) {
        written = Write(out, ReadingsCsvLine(r));
        return written;
    });
    if (!written) {
        if (error)
            *error = QStringLiteral("cannot write the CSV: %1").arg(out.errorString());
        return false;
    }
    if (!read && error)
        *error = store.ErrorText();
    return read;
}

std::optional<std::vector<CounterSample>> ImportCounter(const QString& databasePath, qint64 fromMs,
                                                        qint64 toMs, std::optional<QString> serial,
                                                        QString* error) {
    HistoryStore store;
    if (!OpenForReading(store, databasePath, error))
        return std::nullopt;
    std::vector<CounterSample> samples;
    if (!serial)
        serial = store.NewestSerial(toMs);
    if (!serial)
        return samples; // no readings at all
    // An implausible counter (lower than before, garbled) would cut the month into gaps; the
    // rule is the quarter table's, so both give the same quarters.
    const bool ok = store.ForEachCounter(*serial, fromMs, toMs,
                                         [&](qint64 time, std::optional<double> importWh, auto) {
                                             if (importWh)
                                                 samples.push_back({time, *importWh});
                                         });
    if (!ok) {
        if (error)
            *error = store.ErrorText();
        return std::nullopt;
    }
    return samples;
}

std::optional<PeakReport> MonthlyPeakReport(const QString& databasePath, int year, int month,
                                            const std::optional<QString>& serial, qint64 now,
                                            QString* error, std::optional<double> pricePerKwYear) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const auto [from, to] = MonthSpan(year, month, zone);
    PeakReport report;
    report.year = year;
    report.month = month;
    HistoryStore store;
    if (!OpenForReading(store, databasePath, error))
        return std::nullopt;
    report.serial = serial ? *serial : store.NewestSerial(to).value_or(QString());
    const auto billed = BilledMonths(year, month);
    const auto quarters = store.Quarters(
        report.serial, MonthSpan(billed.front().first, billed.front().second, zone).first, to);
    if (!quarters) {
        if (error)
            *error = store.ErrorText();
        return std::nullopt;
    }
    report.peak = MonthPeakOf(*quarters, from, to, now, zone);
    report.bill = BillOf(CapacityMonthsOf(*quarters, year, month, zone), pricePerKwYear);
    if (now >= from && now < to) {
        std::vector<CounterSample> samples;
        const bool read =
            store.ForEachCounter(report.serial, QuarterStart(now, zone) - DefaultMaxGapMs, now + 1,
                                 [&](qint64 time, std::optional<double> importWh, auto) {
                                     if (importWh)
                                         samples.push_back({time, *importWh});
                                 });
        if (!read) {
            if (error)
                *error = store.ErrorText();
            return std::nullopt;
        }
        if (const auto average = RunningQuarterAverage(samples, now, zone)) {
            QuarterHour current;
            current.start = QuarterStart(now, zone);
            current.end = now;
            current.averageW = *average;
            report.current = current;
        }
    }
    return report;
}

QString PeakReportText(const PeakReport& report) {
    QString text = QStringLiteral("Month: %1-%2\n")
                       .arg(report.year, 4, 10, QLatin1Char('0'))
                       .arg(report.month, 2, 10, QLatin1Char('0'));
    text += QStringLiteral("Device: %1\n").arg(report.serial);
    if (report.peak.found)
        text += QStringLiteral("Peak: %1, %2 to %3\n")
                    .arg(Kilowatts(report.peak.peak.averageW), LocalTime(report.peak.peak.start),
                         LocalTime(report.peak.peak.end).mid(11, 5));
    else
        text += QStringLiteral("Peak: none (no complete quarter-hour)\n");
    text += QStringLiteral("Quarter-hours: %1 complete, %2 incomplete\n")
                .arg(report.peak.completeQuarters)
                .arg(report.peak.incompleteQuarters);
    if (report.current)
        text += QStringLiteral("Current quarter-hour: %1 so far (since %2)\n")
                    .arg(Kilowatts(report.current->averageW), LocalTime(report.current->start));
    const CapacityBill& bill = report.bill;
    for (const CapacityMonth& m : bill.months) {
        text += MonthText(m.year, m.month) + QStringLiteral(": ");
        text += m.peakW ? QStringLiteral("%1, counted %2\n")
                              .arg(Kilowatts(*m.peakW), Kilowatts(*m.CountedW()))
                        : QStringLiteral("missing\n");
    }
    if (bill.billedPeakW)
        text +=
            QStringLiteral("Billed peak: %1, the mean of %2 %3\n")
                .arg(Kilowatts(*bill.billedPeakW))
                .arg(bill.monthsCounted)
                .arg(bill.monthsCounted == 1 ? QStringLiteral("month") : QStringLiteral("months"));
    else
        text += QStringLiteral("Billed peak: none (no month with a complete quarter-hour)\n");
    if (bill.pricePerKwYear) {
        text +=
            QStringLiteral("Capacity price: %1 per kW per year\n").arg(Euros(*bill.pricePerKwYear));
        if (bill.yearCost)
            text +=
                QStringLiteral("Year's cost at the billed peak: %1\n").arg(Euros(*bill.yearCost));
        if (bill.monthAboveFloorCost)
            text += QStringLiteral("This month's peak above the 2.5 kW floor adds: %1\n")
                        .arg(Euros(*bill.monthAboveFloorCost));
    }
    return text;
}

QJsonObject QuarterHourJson(const QuarterHour& quarter) {
    return QJsonObject{{QStringLiteral("start"), IsoLocalTime(quarter.start)},
                       {QStringLiteral("end"), IsoLocalTime(quarter.end)},
                       {QStringLiteral("average_power_w"), DeviceNumber(quarter.averageW)}};
}

QJsonObject PeakReportJson(const PeakReport& report) {
    QJsonObject json{
        {QStringLiteral("month"), MonthText(report.year, report.month)},
        {QStringLiteral("serial"), report.serial},
        {QStringLiteral("complete_quarters"), report.peak.completeQuarters},
        {QStringLiteral("incomplete_quarters"), report.peak.incompleteQuarters},
    };
    // No complete quarter-hour: no peak, rather than a made-up one of 0 W.
    json.insert(QStringLiteral("peak"), report.peak.found
                                            ? QJsonValue(QuarterHourJson(report.peak.peak))
                                            : QJsonValue(QJsonValue::Null));
    if (report.current)
        json.insert(QStringLiteral("current"), QuarterHourJson(*report.current));
    InsertCapacityBill(json, report.bill);
    return json;
}

std::optional<qint64> ParseHistoryTime(const QString& text, bool endOfDay) {
    static const QRegularExpression dateOnly(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    if (dateOnly.match(text).hasMatch()) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (!date.isValid())
            return std::nullopt;
        return (endOfDay ? date.addDays(1) : date).startOfDay().toMSecsSinceEpoch();
    }
    // A time without an offset is the PC's local time, as the CSV shows it.
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid() || !text.contains(QLatin1Char('T')))
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

void SeedLiveQuarter(LiveQuarter& live, const QString& databasePath, qint64 now) {
    // The live quarter-hour needs this month only.
    const auto seed = PollerStartSeed(databasePath, now, std::nullopt, nullptr, 1);
    if (!seed)
        return;
    live.Seed(seed->year, seed->month, seed->peak);
    // The power is not in the counter: the forecast waits for the first live reading.
    for (const CounterSample& sample : seed->quarterImportWh)
        live.Add(sample, std::numeric_limits<double>::quiet_NaN());
}
