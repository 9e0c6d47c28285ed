// The quarter-hour arithmetic and the chart's decimation, on synthetic series with known answers.

#include "history/CapacitySeed.h"
#include "history/CapacityTariff.h"
#include "history/Decimate.h"
#include "history/HistoryStore.h"
#include "history/LiveCapacity.h"
#include "history/QuarterPeak.h"
#include "poller/ReadingsFanOut.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr qint64 Second = 1000;
constexpr qint64 Quarter = 900 * Second;

const QTimeZone Brussels("Europe/Brussels");

qint64 Utc(const char* iso) {
    return QDateTime::fromString(QLatin1String(iso), Qt::ISODate).toMSecsSinceEpoch();
}

QString Local(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Brussels).toString(Qt::ISODate);
}

// A received reading of the import power and the import counter (on the high tariff; the low
// one stays at 0), as the device reports them.
ReadingsRow Row(qint64 time, double counterWh, double powerW) {
    ReadingsRow row;
    row.time = time;
    row.state = ReadingsRow::Received;
    row.present = 0b111;
    row.fields[0] = float(powerW);
    row.fields[1] = float(counterWh);
    return row;
}

// Readings every 10 s in [from, to) through the fan-out, the counter rising at powerW(t) until
// the next reading; counterAt(t, counter) may replace the counter a reading reports (a new
// meter). The figures every reading was handed with.
std::vector<CapacityNow> Replay(ReadingsFanOut& fanOut, qint64 from, qint64 to,
                                const std::function<double(qint64)>& powerW, double& counterWh,
                                const std::function<double(qint64, double)>& counterAt = {}) {
    std::vector<CapacityNow> figures;
    for (qint64 t = from; t < to; t += 10 * Second) {
        const double power = powerW(t);
        const double reported = counterAt ? counterAt(t, counterWh) : counterWh;
        figures.push_back(
            *fanOut.Hand(Row(t, reported, power), QStringLiteral("KD310042")).capacity);
        counterWh += power * 10 / 3600;
    }
    return figures;
}

} // namespace

class TestHistoryMath : public QObject {
    Q_OBJECT

private slots:
    // The night the clocks go back: 20 quarters of UTC from local midnight, a reading every 10 s,
    // a known power per quarter. The highest quarter lies in the repeated hour, a higher one in a
    // gap, and one boundary has no reading of its own.
    void quarterHoursAcrossTheClockChange() {
        const qint64 start = Utc("2026-10-24T22:00:00Z"); // 00:00 CEST
        std::vector<double> power(20);
        for (size_t k = 0; k < power.size(); ++k)
            power[k] = 1000 + 50 * double(k);
        power[3] = power[4] = 1200; // the boundary between them is interpolated
        power[9] = 4000;            // 02:15 CEST, the first 02:15
        power[13] = 5000;           // 02:15 CET, the second: the peak
        power[15] = 9000;           // in the gap: must not become the peak
        const qint64 gapFrom = start + 15 * Quarter + 5 * 60 * Second;
        const qint64 gapTo = gapFrom + 6 * 60 * Second;

        std::vector<CounterSample> samples;
        double wh = 1'000'000;
        for (qint64 t = start - 60 * Second; t <= start + 20 * Quarter + 60 * Second;
             t += 10 * Second) {
            const auto k = size_t(std::clamp<qint64>((t - start) / Quarter, 0, 19));
            const bool skipped = t == start + 4 * Quarter || (t > gapFrom && t < gapTo);
            if (!skipped)
                samples.push_back({t, wh});
            wh += power[k] * 10.0 / 3600.0;
        }

        const auto quarters =
            QuarterHours(samples, start, start + 20 * Quarter, Brussels, DefaultMaxGapMs);
        QCOMPARE(quarters.size(), size_t(20));
        for (size_t k = 0; k < quarters.size(); ++k) {
            QCOMPARE(quarters[k].start, start + qint64(k) * Quarter);
            QCOMPARE(quarters[k].complete, k != 15);
            if (k != 15)
                QVERIFY2(std::abs(quarters[k].averageW - power[k]) < 1e-6,
                         qPrintable(QString::number(k)));
        }
        // Streamed one sample at a time, as the history's quarter table is written: the same
        // complete quarters, to the last bit.
        QuarterStream stream(Brussels);
        std::vector<IntervalDelta> streamed;
        for (const CounterSample& sample : samples)
            stream.Add(sample, streamed);
        QCOMPARE(streamed.size(), quarters.size() - 1);
        for (size_t i = 0, k = 0; i < streamed.size(); ++i, ++k) {
            k += k == 15 ? 1 : 0;
            QCOMPARE(streamed[i].start, quarters[k].start);
            QCOMPARE((QuarterEnergy{streamed[i].start, streamed[i].end, streamed[i].delta, {}}
                          .Import()
                          .averageW),
                     quarters[k].averageW);
        }
        QCOMPARE(Local(quarters[9].start), QStringLiteral("2026-10-25T02:15:00+02:00"));
        QCOMPARE(Local(quarters[13].start), QStringLiteral("2026-10-25T02:15:00+01:00"));
        QCOMPARE(quarters[15].averageW, 0.0);

        const MonthPeak peak = PeakOfMonth(samples, 2026, 10, Brussels);
        QVERIFY(peak.found);
        QCOMPARE(peak.peak.start, quarters[13].start);
        QVERIFY(std::abs(peak.peak.averageW - 5000) < 1e-6);
        // October 2026 has 31 days of 96 quarters and the repeated hour's four more.
        QCOMPARE(peak.completeQuarters, 19);
        QCOMPARE(peak.completeQuarters + peak.incompleteQuarters, 31 * 96 + 4);

        // Five minutes into quarter 5, and in the gap.
        QVERIFY(
            std::abs(*RunningQuarterAverage(samples, start + 5 * Quarter + 300 * Second, Brussels) -
                     power[5]) < 1e-6);
        QVERIFY(!RunningQuarterAverage(samples, gapTo - Second, Brussels));
        QVERIFY(!RunningQuarterAverage(samples, start + 7 * Quarter, Brussels)); // at the start

        // The same readings one by one, as the poller serves them live: after each, the running
        // average is the one over all readings so far, the forecast at a steady power is that
        // power, and the month's peak is the highest complete quarter so far.
        LiveQuarter live(Brussels);
        live.Seed(2026, 10, MonthPeak{});
        std::vector<CounterSample> sofar;
        for (const CounterSample& sample : samples) {
            const auto k = size_t(std::clamp<qint64>((sample.time - start) / Quarter, 0, 19));
            live.Add(sample, power[k]);
            sofar.push_back(sample);
            const LiveQuarter::Now now = live.At(sample.time);
            const auto expected = RunningQuarterAverage(sofar, sample.time, Brussels);
            QCOMPARE(now.averageW.has_value(), expected.has_value());
            if (expected) {
                QCOMPARE(*now.averageW, *expected);
                if (k != 3 && k != 4 && sample.time > start && sample.time < start + 20 * Quarter)
                    QVERIFY2(std::abs(*now.forecastW - power[k]) < 1e-6,
                             qPrintable(Local(sample.time)));
            }
            double highest = 0;
            for (const QuarterHour& q : QuarterHours(sofar, start, sample.time, Brussels))
                if (q.complete)
                    highest = std::max(highest, q.averageW);
            QCOMPARE(now.monthPeak ? now.monthPeak->averageW : 0.0, highest);
        }
        QCOMPARE(live.At(samples.back().time).monthPeak->start, quarters[13].start);
        // A new month starts without the old month's peak.
        const qint64 november = Utc("2026-10-31T23:00:30Z");
        live.Add({november, wh}, 100);
        live.Add({november + 10 * Second, wh + 0.3}, 100);
        QVERIFY(!live.At(november + 10 * Second).monthPeak);
    }

    void calendarBoundaries_data() {
        QTest::addColumn<QString>("day");
        QTest::addColumn<int>("quarters");
        QTest::addColumn<int>("hours");
        QTest::newRow("clocks forward") << "2026-03-29" << 92 << 23;
        QTest::newRow("clocks back") << "2026-10-25" << 100 << 25;
        QTest::newRow("ordinary") << "2026-12-07" << 96 << 24;
    }
    void calendarBoundaries() {
        QFETCH(QString, day);
        QFETCH(int, quarters);
        QFETCH(int, hours);
        const QDate date = QDate::fromString(day, Qt::ISODate);
        const qint64 from = date.startOfDay(Brussels).toMSecsSinceEpoch();
        const qint64 to = date.addDays(1).startOfDay(Brussels).toMSecsSinceEpoch();
        QCOMPARE(int(Boundaries(from, to, Calendar::QuarterHour, Brussels).size()) - 1, quarters);
        QCOMPARE(int(Boundaries(from, to, Calendar::Hour, Brussels).size()) - 1, hours);
        const auto days = Boundaries(from + 1, to - 1, Calendar::Day, Brussels);
        QCOMPARE(days, (std::vector<qint64>{from, to}));
        // Quarters follow the local clock also where the offset is not a whole hour.
        const QTimeZone kolkata("Asia/Kolkata");
        QCOMPARE(
            QDateTime::fromMSecsSinceEpoch(QuarterStart(from + 7 * 60 * Second, kolkata), kolkata)
                    .time()
                    .minute() %
                15,
            0);
    }

    void counterGoingDownIsAGapNotNegativeEnergy() {
        const qint64 t0 = Utc("2026-12-07T10:00:00Z");
        std::vector<CounterSample> samples;
        for (int i = 0; i <= 180; ++i) // 30 minutes, every 10 s, the counter reset halfway
            samples.push_back({t0 + i * 10 * Second, i < 120 ? 5000.0 + i : 10.0 + i});
        const auto quarters = QuarterHours(samples, t0, t0 + 2 * Quarter, Brussels);
        QCOMPARE(quarters.size(), size_t(2));
        QVERIFY(quarters[0].complete);
        QVERIFY(!quarters[1].complete);
    }

    // A quarter with one pause in its readings: a pause up to the gap allowed (three minutes)
    // is bridged, a longer one makes the quarter incomplete.
    void gapRule_data() {
        QTest::addColumn<int>("pauseS");
        QTest::addColumn<bool>("complete");
        QTest::newRow("2:50 is joined") << 170 << true;
        QTest::newRow("3:10 is a gap") << 190 << false;
    }
    void gapRule() {
        QFETCH(int, pauseS);
        QFETCH(bool, complete);
        const qint64 t0 = Utc("2026-12-07T10:00:00Z");
        const qint64 pauseFrom = t0 + 300 * Second;
        std::vector<CounterSample> samples;
        for (qint64 t = t0 - 10 * Second; t <= t0 + Quarter + 10 * Second; t += 10 * Second)
            if (t <= pauseFrom || t >= pauseFrom + pauseS * Second)
                samples.push_back({t, 1000.0 + double(t - t0) / Second}); // 3600 W
        const auto quarters = QuarterHours(samples, t0, t0 + Quarter, Brussels);
        QCOMPARE(quarters.size(), size_t(1));
        QCOMPARE(quarters[0].complete, complete);
        QCOMPARE(quarters[0].averageW, complete ? 3600.0 : 0.0);
        QCOMPARE(PeakOfMonth(samples, 2026, 12, Brussels).found, complete);
    }

    // Readings 2 s before and 8 s after every boundary, with another power on each side of it:
    // the counter at a boundary is a fifth of the way from the reading before to the one after.
    // Readings on a boundary or halfway between two hide a fraction taken from the wrong end.
    void boundaryBetweenTwoReadings() {
        const qint64 t0 = Utc("2026-12-07T10:00:00Z");
        const double power[3] = {1000, 4000, 500}; // the quarter before, the one asked, after
        const auto counterWh = [&](qint64 t) {
            double wh = 5000;
            for (int k = 0; k < 3; ++k) {
                const qint64 from = t0 + (k - 1) * Quarter;
                const qint64 to = std::clamp(t, from, from + Quarter);
                wh += power[k] * double(to - from) / 3.6e6;
            }
            return wh;
        };
        std::vector<CounterSample> samples;
        for (qint64 t = t0 - Quarter - 2 * Second; t < t0 + 2 * Quarter; t += 10 * Second)
            samples.push_back({t, counterWh(t)});
        const auto at = [&](qint64 boundary) { // a fifth of the way from -2 s to +8 s
            return counterWh(boundary - 2 * Second) +
                   0.2 * (counterWh(boundary + 8 * Second) - counterWh(boundary - 2 * Second));
        };
        const double expected = (at(t0 + Quarter) - at(t0)) * 3.6e6 / double(Quarter);
        const auto quarters = QuarterHours(samples, t0, t0 + Quarter, Brussels);
        QCOMPARE(quarters.size(), size_t(1));
        QVERIFY(quarters[0].complete);
        QVERIFY2(std::abs(quarters[0].averageW - expected) < 1e-6,
                 qPrintable(QString::number(quarters[0].averageW, 'f', 6)));
    }

    // A month whose complete quarters all average 0 W (a house away on holiday, a counter that
    // stood still) has a peak of 0 W, the earliest of them, not "no peak".
    void zeroPowerMonthHasAPeakOfZero() {
        const qint64 t0 = Utc("2026-12-07T10:00:00Z");
        std::vector<CounterSample> samples;
        for (qint64 t = t0 - 10 * Second; t <= t0 + 2 * Quarter + 10 * Second; t += 10 * Second)
            samples.push_back({t, 5000.0});
        const MonthPeak peak = PeakOfMonth(samples, 2026, 12, Brussels);
        QVERIFY(peak.found);
        QCOMPARE(peak.completeQuarters, 2);
        QCOMPARE(peak.peak.start, t0);
        QCOMPARE(peak.peak.averageW, 0.0);
    }

    // The bill, worked by hand: months below the floor count at 2.5 kW, missing months are left
    // out of the mean, and the month billed is the last of twelve.
    void billOfWorkedExamples_data() {
        QTest::addColumn<QList<double>>("peaks"); // kW, oldest first; -1 for a missing month
        QTest::addColumn<double>("price");        // EUR per kW per year; 0 for none
        QTest::addColumn<double>("billedKw");     // -1 for none
        QTest::addColumn<int>("counted");
        QTest::addColumn<double>("yearCost");
        QTest::addColumn<double>("monthAboveFloor");
        const QList<double> flat(12, 4.0);
        QTest::newRow("twelve at 4 kW") << flat << 50.0 << 4.0 << 12 << 200.0 << 6.25;
        QList<double> low = flat;
        low[11] = 1.8; // billed as 2.5, adds nothing over the floor
        QTest::newRow("month billed below the floor")
            << low << 50.0 << (11 * 4.0 + 2.5) / 12 << 12 << (11 * 4.0 + 2.5) / 12 * 50 << 0.0;
        QList<double> missing(12, -1);
        missing[9] = 6.0;
        missing[10] = 2.0;
        missing[11] = 3.7;
        QTest::newRow("three months in the history")
            << missing << 48.0 << (6.0 + 2.5 + 3.7) / 3 << 3 << (6.0 + 2.5 + 3.7) / 3 * 48
            << 1.2 / 12 * 48;
        QTest::newRow("nothing in the history")
            << QList<double>(12, -1) << 50.0 << -1.0 << 0 << -1.0 << -1.0;
        QTest::newRow("no price") << flat << 0.0 << 4.0 << 12 << -1.0 << -1.0;
    }
    void billOfWorkedExamples() {
        QFETCH(QList<double>, peaks);
        QFETCH(double, price);
        QFETCH(double, billedKw);
        QFETCH(int, counted);
        QFETCH(double, yearCost);
        QFETCH(double, monthAboveFloor);
        std::vector<CapacityMonth> months;
        const auto calendar = BilledMonths(2026, 2);
        for (int i = 0; i < peaks.size(); ++i)
            months.push_back(
                {calendar[size_t(i)].first, calendar[size_t(i)].second,
                 peaks[i] < 0 ? std::nullopt : std::optional<double>(peaks[i] * 1000)});
        const CapacityBill bill =
            BillOf(months, price > 0 ? std::optional<double>(price) : std::nullopt);
        const auto same = [](std::optional<double> value, double expected, double scale) {
            return expected < 0 ? !value : value && std::abs(*value / scale - expected) < 1e-9;
        };
        QVERIFY(same(bill.billedPeakW, billedKw, 1000));
        QCOMPARE(bill.monthsCounted, counted);
        QVERIFY(same(bill.yearCost, yearCost, 1));
        QVERIFY(same(bill.monthAboveFloorCost, monthAboveFloor, 1));
        // Twelve months ending with the one billed, across the turn of the year.
        QCOMPARE(calendar.front(), std::make_pair(2025, 3));
        QCOMPARE(calendar.back(), std::make_pair(2026, 2));
    }

    // Headroom and warning over one quarter: 2 kW for 5 minutes, then 6 kW.
    void headroomAndWarningOfAQuarter() {
        const qint64 start = Utc("2026-12-07T17:00:00Z"), end = start + Quarter;
        // At 5 min, 2 kW so far (166.7 Wh) against 3 kW: (750 - 166.7) Wh over 10 min is 3.5 kW.
        const double soFar = 2000.0 * 5 / 60;
        QVERIFY(
            std::abs(*CapacityHeadroomW(3000, start, end, start + 5 * 60 * Second, soFar, 2000) -
                     1500) < 1e-9);
        QVERIFY(!CapacityHeadroomW(3000, start, end, end, soFar, 2000));
        QCOMPARE(CapacityThresholdW(std::nullopt, std::nullopt), CapacityFloorW);
        QCOMPARE(CapacityThresholdW(3100.0, std::nullopt), 3100.0);
        QCOMPARE(CapacityThresholdW(3100.0, 2000.0), 2000.0);

        PeakWarning warning;
        QVERIFY(!warning.Update(start, 2900, 3000));
        QVERIFY(warning.Update(start, 3001, 3000));
        QVERIFY(warning.Update(start, 2900, 3000)); // within 5 %: stays on
        QVERIFY(warning.Update(start, std::nullopt, 3000));
        QVERIFY(!warning.Update(start, 2849, 3000)); // 5 % below: off
        QVERIFY(warning.Update(start, 3500, 3000));
        QVERIFY(!warning.Update(end, 2000, 3000)); // the next quarter starts without it
    }

    // A steady 1.8 kW through a month's night, and through both nights the clocks change: every
    // quarter-hour is 15 minutes of the clock whatever the offset does, the month's peak stays
    // below the floor, so the threshold and the bill are the floor's, and the headroom is what
    // the rest of the quarter may draw at the threshold: (2500 - 1800) W over the quarter's
    // length, spread over the time left.
    void liveCapacityBelowTheFloorAndAcrossClockChanges_data() {
        QTest::addColumn<QString>("night"); // local midnight that starts four hours of readings
        QTest::addColumn<int>("quarters");
        QTest::newRow("an ordinary night") << "2026-12-07" << 16;
        QTest::newRow("clocks forward") << "2026-03-29" << 12; // 02:00 to 03:00 is skipped
        QTest::newRow("clocks back") << "2026-10-25" << 20;    // 02:00 to 03:00 twice
    }
    void liveCapacityBelowTheFloorAndAcrossClockChanges() {
        QFETCH(QString, night);
        QFETCH(int, quarters);
        const QDate date = QDate::fromString(night, Qt::ISODate);
        const qint64 from = date.startOfDay(Brussels).toMSecsSinceEpoch();
        const qint64 to = QDateTime(date, QTime(4, 0), Brussels).toMSecsSinceEpoch();
        ReadingsFanOut fanOut(Brussels);
        double counter = 10'000;
        const auto figures = Replay(
            fanOut, from - Quarter, to, [](qint64) { return 1800.0; }, counter);
        std::vector<qint64> starts;
        for (const CapacityNow& c : figures) {
            if (c.time < from)
                continue;
            const QString at = Local(c.time);
            QCOMPARE(c.quarterEnd - c.quarterStart, Quarter);
            QCOMPARE(QDateTime::fromMSecsSinceEpoch(c.quarterStart, Brussels).time().minute() % 15,
                     0);
            if (starts.empty() || starts.back() != c.quarterStart)
                starts.push_back(c.quarterStart);
            QCOMPARE(c.thresholdW, CapacityFloorW);
            QVERIFY2(!c.peakWarning && !c.warningStarted, qPrintable(at));
            QVERIFY2(c.monthPeak && std::abs(c.monthPeak->averageW - 1800) < 0.5, qPrintable(at));
            QVERIFY2(c.bill && c.bill->billedPeakW == CapacityFloorW && c.bill->monthsCounted == 1,
                     qPrintable(at));
            if (c.time == c.quarterStart)
                continue; // the quarter has no reading of its own yet
            QVERIFY2(c.quarterForecastW && std::abs(*c.quarterForecastW - 1800) < 0.5,
                     qPrintable(at));
            const double left = double(c.quarterEnd - c.time);
            QVERIFY2(std::abs(*c.headroomW - 700 * double(Quarter) / left) < 0.5,
                     qPrintable(QStringLiteral("%1: %2").arg(at).arg(*c.headroomW)));
        }
        QCOMPARE(int(starts.size()), quarters);
    }

    // A meter replaced mid-quarter: its counter starts again far lower. The readings between
    // are judged implausible until the new counter holds; no quarter gets the drop as negative
    // energy, the quarter of the swap is left incomplete, and the quarters after it count from
    // the new meter at their true 1 kW, so the month's peak stays 1 kW. A garbled counter on a
    // quarter's boundary is left out too: the quarter counted from it would read 200 kW.
    void liveCapacityAcrossAReplacedMeter() {
        const qint64 from = Utc("2026-12-07T10:00:00Z"), swap = from + Quarter + 300 * Second;
        ReadingsFanOut fanOut(Brussels);
        double counter = 50'000;
        const auto figures = Replay(
            fanOut, from - 60 * Second, from + 4 * Quarter, [](qint64) { return 1000.0; }, counter,
            [&](qint64 t, double wh) {
                // And one garbled reply on a quarter's boundary, the new meter's counter at 3 Wh.
                return t == from + 3 * Quarter ? 3.0 : t < swap ? wh : wh - 49'000;
            });
        for (const CapacityNow& c : figures) {
            const QString at = Local(c.time);
            if (c.quarterAverageW)
                QVERIFY2(std::abs(*c.quarterAverageW - 1000) < 1, qPrintable(at));
            if (c.monthPeak)
                QVERIFY2(std::abs(c.monthPeak->averageW - 1000) < 1, qPrintable(at));
            if (c.headroomW)
                QVERIFY2(*c.headroomW > 0, qPrintable(at));
            QVERIFY(!c.peakWarning);
            // The swap's quarter has no average once the new counter is taken (the readings
            // judged implausible before that leave the figures as they were).
            if (c.time >= swap + 20 * Second && c.quarterStart == from + Quarter)
                QVERIFY2(!c.quarterAverageW, qPrintable(at));
        }
        // The last quarter is whole again, from the new meter's readings alone.
        QCOMPARE(figures.back().quarterStart, from + 3 * Quarter);
        QVERIFY(figures.back().quarterAverageW);
    }

    // A forecast that hovers around the threshold within 5 % warns once, with the minutes left,
    // and stays on; the warning ends with its quarter, and in a quarter that turns back to
    // 5 % below.
    void liveCapacityWarningDoesNotFlap() {
        const qint64 from = Utc("2026-12-07T17:00:00Z");
        ReadingsFanOut fanOut(Brussels);
        fanOut.SetCapacityOptions({3000.0, std::nullopt}); // the household's own target
        double counter = 10'000;
        // 3 kW on average from the fifth minute of the first quarter, swinging 2 % either side;
        // 3.2 kW then 2.5 kW in the second.
        const auto power = [&](qint64 t) {
            const qint64 into = (t - from) % Quarter;
            if (t < from + Quarter)
                return into < 300 * Second ? 3000.0 : ((t / (10 * Second)) % 2 ? 3060.0 : 2940.0);
            return into < 300 * Second ? 3200.0 : 2500.0;
        };
        // Readings 5 s past the boundaries, so a quarter's first reading has a forecast.
        const auto figures = Replay(fanOut, from - 55 * Second, from + 2 * Quarter, power, counter);
        int started = 0, ended = 0, handedOver = 0;
        for (const CapacityNow& c : figures) {
            QCOMPARE(c.thresholdW, 3000.0);
            QVERIFY(c.thresholdIsTarget);
            started += c.warningStarted;
            ended += c.warningEnded;
            handedOver += c.warningStarted && c.warningEnded;
            if (c.warningStarted) {
                QCOMPARE(c.warningSince, c.time);
                QCOMPARE(*c.warningMinutesLeft, double(c.quarterEnd - c.time) / 60'000);
            }
            QCOMPARE(c.warningMinutesLeft.has_value(), c.peakWarning);
        }
        // On in each quarter once; the first's ends as the second's starts, at the second's
        // first reading, which ends once its forecast falls 5 % below.
        QCOMPARE(started, 2);
        QCOMPARE(ended, 2);
        QCOMPARE(handedOver, 1);
        QVERIFY(!figures.back().peakWarning);
        const auto firstOn = std::find_if(figures.begin(), figures.end(),
                                          [](const CapacityNow& c) { return c.peakWarning; });
        QVERIFY(firstOn != figures.end() && firstOn->quarterStart == from);
        const QJsonObject json = CapacityJson(*firstOn);
        QCOMPARE(json["peak_warning"].toBool(), true);
        QCOMPARE(json["capacity_target_w"].toDouble(), 3000.0);
        QCOMPARE(json["months"].toArray().size(), BilledMonthCount);
    }

    // A poller restarted at 10:07:30 goes on from the history: the quarter that began at 10:00
    // keeps its readings (an average at once, where a fresh start would wait for 10:15), the
    // month's peak so far (3 kW, 09:00 to 10:00) is the threshold, and the bill holds November
    // (4 kW) and this month, with October, which the history does not hold, left out. Every
    // sink is handed the same figures.
    void pollerRestartedMidQuarterGoesOnFromTheHistory() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.sqlite"));
        const QString serial = QStringLiteral("KD310042");
        const auto local = [](int month, int day, int h, int m, int sec = 0) {
            return QDateTime(QDate(2026, month, day), QTime(h, m, sec)).toMSecsSinceEpoch();
        };
        const qint64 restart = local(12, 16, 10, 7, 30);
        double counter = 10'000;
        {
            HistoryStore store;
            QVERIFY(store.Open(path));
            std::vector<Reading> readings;
            const auto record = [&](qint64 from, qint64 to,
                                    const std::function<double(qint64)>& w) {
                for (qint64 t = from; t < to; t += 10 * Second) {
                    Reading reading;
                    reading.row = Row(t, counter, w(t));
                    reading.serial = serial;
                    readings.push_back(reading);
                    counter += w(t) * 10 / 3600;
                }
            };
            record(local(11, 10, 17, 59), local(11, 10, 18, 31), [](qint64) { return 4000.0; });
            const qint64 quarterPast = local(12, 16, 9, 15), ten = local(12, 16, 10, 0);
            record(local(12, 16, 8, 59), restart, [=](qint64 t) {
                return t < quarterPast ? 3000.0 : t < ten ? 2000.0 : 1200.0;
            });
            QVERIFY(store.Insert(readings));
        }

        ReadingsFanOut fanOut;
        fanOut.SetCapacitySeeder(
            [&](const QString& s, qint64 now) { return ReadCapacitySeed(path, s, now); });
        struct Keep : ReadingSink {
            std::vector<std::shared_ptr<const CapacityNow>> seen;
            void Take(const Reading& r) override { seen.push_back(r.capacity); }
        } first, second;
        fanOut.Add(&first);
        fanOut.Add(&second);
        for (qint64 t = restart; t < restart + 60 * Second; t += 10 * Second) {
            fanOut.Hand(Row(t, counter, 1200), serial);
            counter += 1200.0 * 10 / 3600;
        }
        QCOMPARE(first.seen.size(), size_t(6));
        QVERIFY(first.seen == second.seen);
        QVERIFY(fanOut.Capacity() == first.seen.back());

        const CapacityNow& c = *first.seen.front();
        QCOMPARE(c.quarterStart, local(12, 16, 10, 0));
        QVERIFY(c.quarterAverageW && std::abs(*c.quarterAverageW - 1200) < 0.5);
        QVERIFY(c.quarterForecastW && std::abs(*c.quarterForecastW - 1200) < 0.5);
        QVERIFY(c.monthPeak && std::abs(c.monthPeak->averageW - 3000) < 0.5);
        QCOMPARE(c.monthPeak->start, local(12, 16, 9, 0));
        QVERIFY(std::abs(c.thresholdW - 3000) < 0.5);
        QCOMPARE(c.bill->monthsCounted, 2);
        QVERIFY(std::abs(*c.bill->billedPeakW - 3500) < 0.5);
        QCOMPARE(c.bill->months[9].month, 10);
        QVERIFY(!c.bill->months[9].peakW);
        QVERIFY(std::abs(*c.bill->months[10].peakW - 4000) < 0.5);
    }

    // Every column's lowest and highest point survives, whatever the series looks like.
    void decimationKeepsEveryMinimumAndMaximum() {
        QRandomGenerator random(1234);
        std::vector<qint64> x;
        std::vector<float> y;
        qint64 t = 1'000'000;
        for (int i = 0; i < 50'000; ++i) {
            t += 1 + random.bounded(5'000);
            x.push_back(t);
            float v = float(random.bounded(1000));
            if (i % 997 == 0)
                v = 1e6f; // spikes
            if (i % 1409 == 0)
                v = -1e6f;
            if (i % 313 == 0)
                v = std::nanf("");
            y.push_back(v);
        }
        const qint64 from = x[1000] + 1, to = x[45000];
        const int columns = 777;
        const std::vector<QPointF> out = DecimateMinMax(x, y, from, to, columns);
        QVERIFY(out.size() <= size_t(2 * columns + 2));
        QVERIFY(std::is_sorted(out.begin(), out.end(),
                               [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }));
        auto kept = [&](qint64 px, float py) {
            return std::any_of(out.begin(), out.end(), [&](const QPointF& p) {
                return p.x() == double(px) && p.y() == double(py);
            });
        };
        // The nearest points outside the range.
        QVERIFY(kept(x[1000], y[1000]));
        QVERIFY(kept(x[45000], y[45000]));
        std::vector<float> low(size_t(columns), INFINITY), high(size_t(columns), -INFINITY);
        for (size_t i = 1001; i < 45000; ++i) {
            if (std::isnan(y[i]))
                continue;
            const auto c = size_t(double(x[i] - from) * columns / double(to - from));
            low[c] = std::min(low[c], y[i]);
            high[c] = std::max(high[c], y[i]);
        }
        for (size_t i = 1001; i < 45000; ++i) {
            if (std::isnan(y[i]))
                continue;
            const auto c = size_t(double(x[i] - from) * columns / double(to - from));
            if (y[i] == low[c] || y[i] == high[c])
                QVERIFY2(kept(x[i], y[i]) ||
                             std::any_of(out.begin(), out.end(),
                                         [&](const QPointF& p) {
                                             return p.y() == double(y[i]) &&
                                                    size_t(double(qint64(p.x()) - from) * columns /
                                                           double(to - from)) == c;
                                         }),
                         qPrintable(QString::number(i)));
        }
        QVERIFY(DecimateMinMax(x, y, to, from, columns).empty());
    }
};

QTEST_GUILESS_MAIN(TestHistoryMath)
#include "test_history_math.moc"
