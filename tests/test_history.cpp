// The readings history through the real window against the simulator: what the poll records,
// a database that cannot be written, the CSV exports read back by an independent reader, and
// the chart window reading a month; then the store and the recorder alone: two programs
// creating one history, a newer schema, the recorder's retries and its stop; then the quarter
// table: written live, rebuilt and read back equal to the arithmetic on the readings, an older
// history migrated once under a concurrent writer, the twelve months billed.

#include "device_link/ReplyParser.h"
#include "history/ChartWindow.h"
#include "history/EnergyHistory.h"
#include "history/HistoryExport.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "main_window/CapacityLine.h"
#include "main_window/HistoryMenu.h"
#include "main_window/StatusStrip.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QAccessible>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::array<float, 13> Values = {200.0f,    12345678.0f, 1234.5677f, 0.5f,      0.0f,
                                      402300.0f, 187600.0f,   0.0f,       3456.789f, 0.001f,
                                      2.0f,      17.0f,       4.0f};

// Read-only for everyone, root included: the immutable flag where the file system has one
// (root may set it), the permission bits otherwise.
bool SetReadOnly(const QString& path, bool readOnly) {
    const QByteArray name = QFile::encodeName(path);
    if (geteuid() == 0) {
        const int fd = open(name.constData(), O_RDONLY);
        int flags = 0;
        bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = readOnly ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            close(fd);
        return done;
    }
    return chmod(name.constData(), readOnly ? 0444 : 0644) == 0;
}

std::vector<Reading> AllReadings(const QString& path) {
    std::vector<Reading> readings;
    HistoryStore store;
    if (store.Open(path, true))
        store.ForEach(0, std::numeric_limits<qint64>::max(), std::nullopt, [&](const Reading& r) {
            readings.push_back(r);
            return true;
        });
    return readings;
}

// Python's csv module: a reader that owes nothing to the writer under test.
QJsonArray ReadCsv(const QString& path) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import csv, json, sys\n"
                                 "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                 "    print(json.dumps(list(csv.reader(f, strict=True))))"),
                  path});
    if (!python.waitForFinished(20000) || python.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

// A second program: this test program started again with KDR31_CREATE_HISTORY
// set. It waits for the go file, so that both programs meet the new file at the same moment,
// creates the history, records one reading at KDR31_CREATE_TIME and exits, before any test runs.
const int CreatedByAnotherProgram = [] {
    const QByteArray path = qgetenv("KDR31_CREATE_HISTORY");
    if (path.isEmpty())
        return 0;
    const QByteArray go = qgetenv("KDR31_CREATE_GO");
    for (int i = 0; i < 10'000 && access(go.constData(), F_OK) != 0; ++i)
        usleep(1000);
    Reading reading;
    reading.row.time = qgetenv("KDR31_CREATE_TIME").toLongLong();
    reading.row.state = ReadingsRow::Received;
    reading.serial = QStringLiteral("KD310042");
    HistoryStore store;
    const bool ok = store.Open(QFile::decodeName(path)) && store.Insert({reading});
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(store.ErrorText()));
    std::fflush(stderr);
    std::_Exit(ok ? 0 : 1);
}();

// The day and month boundaries of the quarter table's readers follow the PC's clock: Brussels
// here, with its two clock changes a year.
const bool InBrussels = qputenv("TZ", "Europe/Brussels");
const QTimeZone Brussels("Europe/Brussels");
constexpr qint64 Second = 1000;

qint64 LocalMs(const QDate& day, int hour, int minute, int second = 0) {
    return QDateTime(day, QTime(hour, minute, second), Brussels).toMSecsSinceEpoch();
}

struct Meter {
    double importHigh = 100'000;
    double importLow = 50'000;
    double exportHigh = 20'000;
    double exportLow = 10'000;
};

// A reading of the meter at `time` after `stepMs` at these powers; the counters on the tariff of
// the local hour.
Reading MeterReading(const QString& serial, qint64 time, qint64 stepMs, double importW,
                     double exportW, Meter& meter) {
    const int hour = QDateTime::fromMSecsSinceEpoch(time, Brussels).time().hour();
    const bool low = hour < 7 || hour >= 21;
    (low ? meter.importLow : meter.importHigh) += importW * double(stepMs) / 3.6e6;
    (low ? meter.exportLow : meter.exportHigh) += exportW * double(stepMs) / 3.6e6;
    Reading r;
    r.serial = serial;
    r.row.time = time;
    r.row.state = ReadingsRow::Received;
    r.row.present = 0x1fff;
    r.row.fields = {float(importW),
                    float(meter.importHigh),
                    float(meter.importLow),
                    0.0f,
                    float(exportW),
                    float(meter.exportHigh),
                    float(meter.exportLow),
                    0.0f,
                    1000.0f,
                    0.0f,
                    low ? 2.0f : 1.0f,
                    0.0f,
                    0.0f};
    return r;
}

// 02:15 CET, in the hour that the night the clocks go back repeats.
qint64 SixKwQuarter() {
    return QDateTime(QDate(2026, 10, 25), QTime(1, 15), QTimeZone::utc()).toMSecsSinceEpoch();
}

// Two days around each night the clocks change, a reading every 10 s, with what a real history
// holds: pauses that are bridged, a gap, a pause across a quarter's boundary, a failed reading,
// readings without the export counters, a counter that is not a number, a flagged garbled one,
// a meter replaced (its first two readings flagged, as the poll does), a quarter of 6 kW in the
// repeated hour, and a second device. In time order.
std::vector<Reading> TwoStretches() {
    const QDate march(2026, 3, 28), october(2026, 10, 24);
    const std::vector<std::pair<qint64, qint64>> pauses = {
        {LocalMs(march, 3, 5), LocalMs(march, 3, 7, 50)},   // 2:50: bridged
        {LocalMs(march, 4, 5), LocalMs(march, 4, 8, 10)},   // 3:10: a gap
        {LocalMs(march, 5, 13, 30), LocalMs(march, 5, 16)}, // across 05:15: bridged
    };
    const qint64 replaced = LocalMs(october, 15, 7, 20);
    const qint64 sixKw = SixKwQuarter();
    std::vector<Reading> out;
    Meter meter, second;
    for (const QDate& first : {march, october}) {
        const qint64 from = first.startOfDay(Brussels).toMSecsSinceEpoch();
        const qint64 to = first.addDays(2).startOfDay(Brussels).toMSecsSinceEpoch() + 300 * Second;
        for (qint64 t = from; t < to; t += 10 * Second) {
            const qint64 k = (t - from) / (900 * Second);
            const int hour = QDateTime::fromMSecsSinceEpoch(t, Brussels).time().hour();
            const double importW =
                t >= sixKw && t < sixKw + 900 * Second ? 6000 : 300 + double(k * 37 % 11) * 350;
            const double exportW = hour >= 11 && hour < 15 ? 1200 + double(k % 5) * 100 : 0;
            if (t >= replaced && t < replaced + 10 * Second)
                meter = Meter{10, 5, 3, 1};
            Reading r =
                MeterReading(QStringLiteral("KD310042"), t, 10 * Second, importW, exportW, meter);
            const bool paused = std::any_of(pauses.begin(), pauses.end(), [t](const auto& p) {
                return t > p.first && t < p.second;
            });
            if (paused)
                continue;
            if (t == LocalMs(march, 6, 0)) {
                r.row.state = ReadingsRow::Failed;
                r.row.present = 0;
            }
            if (t >= LocalMs(march, 7, 0) && t < LocalMs(march, 7, 10))
                r.row.present = 0x7; // import only
            if (t == LocalMs(march, 8, 0))
                r.row.fields[1] = std::numeric_limits<float>::quiet_NaN();
            if (t == LocalMs(march, 9, 0)) {
                r.row.fields[1] = 12.0f;
                r.implausible = true;
            }
            r.implausible = r.implausible || (t >= replaced && t < replaced + 20 * Second);
            out.push_back(r);
            if (first == march && t < LocalMs(march, 6, 0) && t % (60 * Second) == 0)
                out.push_back(
                    MeterReading(QStringLiteral("KD310043"), t + 1, 60 * Second, 500, 0, second));
        }
    }
    return out;
}

// A device's quarters by the arithmetic on all of its readings at once, for comparing with the
// table's.
QStringList QuartersText(const std::vector<QuarterEnergy>& quarters) {
    QStringList text;
    const auto number = [](std::optional<double> v) {
        return v ? QString::number(*v, 'g', 17) : QStringLiteral("-");
    };
    for (const QuarterEnergy& q : quarters)
        text << QStringLiteral("%1 %2 %3 %4")
                    .arg(IsoLocalTime(q.start))
                    .arg((q.end - q.start) / Second)
                    .arg(number(q.importWh), number(q.exportWh));
    return text;
}

std::vector<CounterSample> Counter(const std::vector<Reading>& readings, const QString& serial,
                                   bool import) {
    std::vector<CounterSample> samples;
    for (const Reading& r : readings)
        if (r.serial == serial)
            if (const auto wh = import ? ImportWhOf(r) : ExportWhOf(r))
                samples.push_back({r.row.time, *wh});
    return samples;
}

QStringList ExpectedQuarters(const std::vector<Reading>& readings, const QString& serial,
                             qint64 from, qint64 to) {
    const auto bounds = Boundaries(from, to, Calendar::QuarterHour, Brussels);
    const auto in = IntervalDeltas(Counter(readings, serial, true), bounds);
    const auto out = IntervalDeltas(Counter(readings, serial, false), bounds);
    std::vector<QuarterEnergy> quarters;
    for (size_t i = 0; i < in.size(); ++i)
        if (in[i].complete || out[i].complete)
            quarters.push_back(
                {in[i].start, in[i].end,
                 in[i].complete ? std::optional<double>(in[i].delta) : std::nullopt,
                 out[i].complete ? std::optional<double>(out[i].delta) : std::nullopt});
    return QuartersText(quarters);
}

QStringList StoredQuarters(const QString& path, const QString& serial, qint64 from, qint64 to,
                           bool readOnly = true) {
    HistoryStore store;
    if (!store.Open(path, readOnly))
        return {store.ErrorText()};
    const auto quarters = store.Quarters(serial, from, to);
    return quarters ? QuartersText(*quarters) : QStringList{store.ErrorText()};
}

// The quarter table's rows as they are on disk.
QStringList TableRows(const QString& path) {
    QStringList rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db,
                       "SELECT device, start_ms, end_ms, quote(import_wh), quote(export_wh) FROM "
                       "quarters ORDER BY device, start_ms",
                       -1, &query, nullptr);
    while (sqlite3_step(query) == SQLITE_ROW) {
        QString row;
        for (int i = 0; i < 5; ++i)
            row += QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query, i))) +
                   QLatin1Char(' ');
        rows << row;
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

// A copy of the history as an older version of the tool would have left it: no quarter tables,
// schema version 1. From a snapshot, so also of a file that is being written.
bool OlderCopy(const QString& path, const QString& copy) {
    sqlite3* db = nullptr;
    const QByteArray into = "VACUUM INTO '" + QFile::encodeName(copy) + "'";
    bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK &&
              sqlite3_exec(db, into.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    ok = ok && sqlite3_open(QFile::encodeName(copy).constData(), &db) == SQLITE_OK &&
         sqlite3_exec(db, "DROP TABLE quarters; DROP TABLE quarter_marks; PRAGMA user_version=1",
                      nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

int UserVersion(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &query, nullptr);
    const int version = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int(query, 0) : -1;
    sqlite3_finalize(query);
    sqlite3_close(db);
    return version;
}

int Mode(const QString& path) {
    struct stat info {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    QTemporaryDir home; // the remembered settings of this run alone
    std::unique_ptr<SimulatedDevice> sim;
    std::unique_ptr<WindowUnderTest> t;
    HistoryMenu* menu = nullptr;
    QString path;

    void Start(const QString& databasePath) {
        path = databasePath;
        menu = new HistoryMenu(t->w, path, {100'000, 100, 5'000});
    }

private slots:
    void initTestCase() {
        // Test mode keeps the settings under the home folder, shared with any other run of this
        // test on the machine (another build's, the sanitizers'), which may switch recording off
        // in the middle of this one.
        qputenv("HOME", QFile::encodeName(home.path()));
        QStandardPaths::setTestModeEnabled(true);
        QSettings(QStringLiteral("kdr31"), QStringLiteral("kdr31")).clear();
    }
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        sim = std::make_unique<SimulatedDevice>(1);
        QVERIFY(sim->Start());
        sim->device.SetReadings(Values);
        t = std::make_unique<WindowUnderTest>();
        t->Connect(1);
        QCOMPARE(t->w.PortState, std::uint8_t(1));
        QVERIFY(!t->w.SerialNumber().isEmpty());
    }
    void cleanup() {
        t.reset();
        sim.reset();
        dir.reset();
    }

    void pollIsRecorded() {
        Start(dir->filePath(QStringLiteral("history.sqlite")));
        QVERIFY(menu->recordHistory->isChecked()); // on by default
        frmKDR31& w = t->w;
        w.timScan_Timer();
        sim->device.SetFault(Command::Readings, sim::Fault::Silent);
        w.timScan_Timer();
        QVERIFY(menu->Recorder()->WaitUntilWritten(5000));

        const std::vector<Reading> readings = AllReadings(path);
        QCOMPARE(readings.size(), size_t(2));
        const ReadingsTable& grid = w.grdInterfaces->Table();
        for (int i = 0; i < 2; ++i) {
            const Reading& r = readings[size_t(i)];
            QCOMPARE(r.serial, w.SerialNumber());
            QCOMPARE(r.row.time, grid.DataRow(i + 1).time);
            QCOMPARE(r.row.state, i == 0 ? ReadingsRow::Received : ReadingsRow::Failed);
        }
        QCOMPARE(readings[0].row.present, std::uint16_t(0x1fff));
        for (size_t f = 0; f < Values.size(); ++f)
            QCOMPARE(readings[0].row.fields[f], Values[f]);

        // Switched off, remembered, and nothing more recorded.
        menu->recordHistory->setChecked(false);
        QVERIFY(!menu->Recorder());
        QCOMPARE(QSettings(QStringLiteral("kdr31"), QStringLiteral("kdr31"))
                     .value(QStringLiteral("history/record")),
                 QVariant(false));
        w.timScan_Timer();
        QCOMPARE(AllReadings(path).size(), size_t(2));
        menu->recordHistory->setChecked(true);
    }

    // A month of history is read away from the window thread: the chart window shows "7 days"
    // then "30 days" clicked at once, the later one wins, a poll's reading during the read
    // stays in the chart, and the window may go while a read is under way.
    void chartLoadsAMonthAwayFromTheWindowThread() {
        Start(dir->filePath(QStringLiteral("history.sqlite")));
        frmKDR31& w = t->w;
        constexpr qint64 Minute = 60'000, Day = 24 * 60 * Minute;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        std::vector<Reading> month;
        for (qint64 time = now - 30 * Day + 2 * 60 * Minute; time < now - Minute; time += Minute) {
            Reading r;
            r.serial = w.SerialNumber();
            r.row.time = time;
            r.row.state = ReadingsRow::Received;
            r.row.present = 0x1fff;
            std::copy(Values.begin(), Values.end(), r.row.fields.begin());
            month.push_back(r);
        }
        {
            HistoryStore store;
            QVERIFY(store.Open(path));
            QVERIFY(store.Insert(month));
        }
        menu->ShowChart();
        ChartWindow* chart = menu->Chart();
        QVERIFY(chart->Loading());
        QTRY_VERIFY_WITH_TIMEOUT(!chart->Loading(), 60'000);
        // The day shown, from the start of the day before it and an hour more: 25 to 49 hours of
        // readings by the time of day (a clock change moves that by an hour), not the month.
        const size_t day = chart->Series().Size();
        QVERIFY2(day >= 24 * 60 && day <= 50 * 60, qPrintable(QString::number(day)));
        QVERIFY(chart->Series().time.front() <= chart->ViewFrom());

        chart->findChild<QPushButton*>(QStringLiteral("cmdSpan7days"))->click();
        chart->findChild<QPushButton*>(QStringLiteral("cmdSpan30days"))->click();
        QVERIFY(chart->Loading());
        QVERIFY(chart->findChild<QLabel*>(QStringLiteral("lblLoading"))->isVisibleTo(chart));
        QCOMPARE(chart->Series().Size(), day); // not read on the window thread
        w.timScan_Timer();
        const qint64 polled = w.grdInterfaces->Table().DataRow(1).time;
        QTRY_VERIFY_WITH_TIMEOUT(!chart->Loading(), 60'000);
        QCOMPARE(chart->Series().Size(), month.size() + 1);
        QCOMPARE(chart->Series().time.front(), month.front().row.time);
        QCOMPARE(chart->Series().time.back(), polled);
        QCOMPARE(chart->ViewTo() - chart->ViewFrom(), 30 * Day);
        QVERIFY(chart->PlottedPoints() > 0);
        QVERIFY(!chart->findChild<QLabel*>(QStringLiteral("lblLoading"))->isVisibleTo(chart));

        // Closed during a read, then destroyed with the main window by cleanup().
        chart->findChild<QPushButton*>(QStringLiteral("cmdSpan30days"))->click();
        chart->close();
        QVERIFY(chart->Loading());
    }

    // The window's line for the capacity tariff, from figures seeded off the window thread: a
    // complete quarter at 3 kW earlier, the quarter now at 6 kW so far and in the poll's readings.
    // The warning is on at once, in its colour; the chart's quarter-hour tab bills the month at
    // 3 kW; and neither the chart nor the history keeps the figures of a reading.
    void capacityLineSeededFromTheHistory() {
        Start(dir->filePath(QStringLiteral("history.sqlite")));
        frmKDR31& w = t->w;
        const QTimeZone zone = QTimeZone::systemTimeZone();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 quarter = QuarterStart(now, zone);
        std::vector<Reading> history;
        double counterWh = 1'000'000;
        for (qint64 time = quarter - 30 * 60'000; time < now - 1000; time += 10'000) {
            const double watts = time < quarter - 15 * 60'000 ? 3000 : time < quarter ? 1000 : 6000;
            Reading r;
            r.serial = w.SerialNumber();
            r.row.time = time;
            r.row.state = ReadingsRow::Received;
            r.row.present = 0x1fff;
            std::copy(Values.begin(), Values.end(), r.row.fields.begin());
            r.row.fields[0] = float(watts);
            r.row.fields[1] = float(counterWh);
            r.row.fields[2] = 0;
            history.push_back(r);
            counterWh += watts * 10 / 3600;
        }
        {
            HistoryStore store;
            QVERIFY(store.Open(path));
            QVERIFY(store.Insert(history));
        }
        std::array<float, 13> polled = Values;
        polled[0] = 6000;
        polled[1] = float(counterWh);
        polled[2] = 0;
        sim->device.SetReadings(polled);
        QSignalSpy seeded(menu, &HistoryMenu::CapacitySeeded);
        w.timScan_Timer();
        QVERIFY(seeded.wait(20'000));
        w.timScan_Timer();

        const std::shared_ptr<const CapacityNow> figures = menu->FanOut().Capacity();
        QVERIFY(figures && figures->peakWarning);
        const bool sameMonth =
            QDateTime::fromMSecsSinceEpoch(quarter - 30 * 60'000).date().month() ==
            QDateTime::fromMSecsSinceEpoch(now).date().month();
        if (sameMonth) { // the month's peak so far came from the history
            QVERIFY(figures->monthPeak);
            QCOMPARE(DeviceNumber(figures->monthPeak->averageW), 3000.0);
            QCOMPARE(figures->thresholdW, figures->monthPeak->averageW);
        }
        QCOMPARE(w.lblCapacity->text(), CapacityLineText(*figures));
        QVERIFY2(w.lblCapacity->text().startsWith("Peak warning, "),
                 qPrintable(w.lblCapacity->text()));
        QVERIFY(w.lblCapacity->text().contains(": switch off "));
        QVERIFY(w.lblCapacity->autoFillBackground());
        QCOMPARE(w.lblCapacity->palette().color(QPalette::Window), QColor(0xe8, 0x59, 0x0c));
        QAccessibleInterface* line = QAccessible::queryAccessibleInterface(w.lblCapacity);
        QCOMPARE(line->text(QAccessible::Name), w.lblCapacity->text());
        QCOMPARE(line->text(QAccessible::Description), QStringLiteral("Capacity tariff"));
        // Below the connection's line, within the window, the controls above where they were.
        QVERIFY(w.lblCapacity->mapTo(&w, QPoint(0, 0)).y() >
                w.lblConnection->mapTo(&w, QPoint(0, 0)).y());
        QVERIFY(w.lblCapacity->mapTo(&w, QPoint(0, w.lblCapacity->height())).y() <= w.height());
        // kW with the user's decimal separator.
        QVERIFY(CapacityLineText(*figures, QLocale(QLocale::Dutch, QLocale::Belgium))
                    .contains(QRegularExpression(QStringLiteral("switch off \\d+,\\d{3} kW"))));

        // Back to the strip's colours once the warning is off.
        CapacityNow calm = *figures;
        calm.peakWarning = false;
        w.ShowCapacity(&calm);
        QVERIFY(!w.lblCapacity->autoFillBackground());
        QCOMPARE(w.lblCapacity->palette().color(QPalette::Window),
                 w.pnlStatus->palette().color(QPalette::Window));

        menu->ShowChart();
        ChartWindow* chart = menu->Chart();
        QTRY_VERIFY_WITH_TIMEOUT(!chart->Loading(), 60'000);
        chart->Tabs()->setCurrentIndex(3);
        const CapacityBill& bill = chart->MonthsShown();
        QCOMPARE(bill.months.size(), size_t(BilledMonthCount));
        if (sameMonth) {
            QCOMPARE(bill.monthsCounted, 1);
            QCOMPARE(DeviceNumber(*bill.billedPeakW), 3000.0);
        }
        // The fan-out holds the newest figures alone (and this copy of its pointer): the chart's
        // readings and the recorder's queue keep none of them.
        w.timScan_Timer();
        QCOMPARE(menu->FanOut().Capacity().use_count(), 2L);
    }

    // The poll and the grid go on, the problem is told once, and recording catches up when the
    // database can be written again.
    void unwritableDatabaseDoesNotStopThePoll_data() {
        QTest::addColumn<QString>("condition");
        QTest::newRow("read-only") << "read-only";
        QTest::newRow("locked") << "locked";
        QTest::newRow("cannot be opened") << "cannot be opened";
    }
    void unwritableDatabaseDoesNotStopThePoll() {
        QFETCH(QString, condition);
        QString file = dir->filePath(QStringLiteral("history.sqlite"));
        const QString blocker = dir->filePath(QStringLiteral("not-a-folder"));
        sqlite3* lock = nullptr;
        std::function<void()> lift;
        if (condition == "read-only") {
            HistoryStore store;
            QVERIFY(store.Open(file));
            store.Close();
            QVERIFY(SetReadOnly(file, true));
            lift = [file] { QVERIFY(SetReadOnly(file, false)); };
        } else if (condition == "locked") {
            HistoryStore store;
            QVERIFY(store.Open(file));
            store.Close();
            QCOMPARE(sqlite3_open(QFile::encodeName(file).constData(), &lock), SQLITE_OK);
            QCOMPARE(sqlite3_exec(lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
            lift = [&lock] {
                sqlite3_exec(lock, "COMMIT", nullptr, nullptr, nullptr);
                sqlite3_close(lock);
                lock = nullptr;
            };
        } else {
            QFile regular(blocker);
            QVERIFY(regular.open(QIODevice::WriteOnly));
            file = blocker + QStringLiteral("/history.sqlite");
            lift = [blocker] { QVERIFY(QFile::remove(blocker)); };
        }
        auto restore = qScopeGuard([&] {
            if (condition == "read-only")
                SetReadOnly(dir->filePath(QStringLiteral("history.sqlite")), false);
            if (lock)
                sqlite3_close(lock);
        });

        Start(file);
        QSignalSpy started(menu->Recorder(), &HistoryRecorder::ProblemStarted);
        QSignalSpy ended(menu->Recorder(), &HistoryRecorder::ProblemEnded);
        frmKDR31& w = t->w;
        for (int i = 0; i < 3; ++i)
            w.timScan_Timer();
        QCOMPARE(w.grdInterfaces->Rows(), 4);
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, 10000);
        QVERIFY2(w.grdInterfaces->Notice().contains(condition),
                 qPrintable(w.grdInterfaces->Notice()));
        QVERIFY(t->log->messages.isEmpty());
        // More polls and retries: still told once.
        w.timScan_Timer();
        QTest::qWait(condition == "locked" ? 2500 : 400);
        QCOMPARE(started.size(), 1);

        lift();
        w.timScan_Timer();
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 10000);
        QVERIFY(menu->Recorder()->WaitUntilWritten(5000));
        QCOMPARE(AllReadings(file).size(), size_t(5));
        QVERIFY(w.grdInterfaces->Notice().isEmpty());
    }

    // Both exports, read back by Python's csv module: the same numbers, and the history's file
    // is the grid's file.
    void csvRoundTrip() {
        Start(dir->filePath(QStringLiteral("history.sqlite")));
        frmKDR31& w = t->w;
        w.timScan_Timer();
        sim->device.SetReadingsDataLength(30); // seven fields
        w.timScan_Timer();
        sim->device.SetFault(Command::Readings, sim::Fault::Silent);
        w.timScan_Timer();

        const QString grid = dir->filePath(QStringLiteral("grid.csv"));
        t->log->saveAnswer = grid;
        menu->exportReadings->trigger();
        QCOMPARE(t->log->saveRequests.back().defaultExtension, QStringLiteral("csv"));

        const QString history = dir->filePath(QStringLiteral("history.csv"));
        t->log->saveAnswer = history;
        const QDateTime now = QDateTime::currentDateTime();
        t->log->periodAnswer = PeriodChoice{now.addSecs(-600), now.addSecs(60), w.SerialNumber()};
        menu->exportHistory->trigger();
        QCOMPARE(t->log->periodRequests.size(), size_t(1));
        QVERIFY(t->log->periodRequests[0].serials.contains(w.SerialNumber()));
        QVERIFY(t->log->messages.isEmpty());

        QFile a(grid), b(history);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        const QByteArray bytes = a.readAll();
        QCOMPARE(b.readAll(), bytes);
        QVERIFY(bytes.contains("\r\n"));

        const QJsonArray rows = ReadCsv(grid);
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[0].toArray()[3].toString(), QStringLiteral("import_power_w"));
        const ReadingsTable& table = w.grdInterfaces->Table();
        for (int r = 1; r <= 3; ++r) {
            const QJsonArray cells = rows[r].toArray();
            QCOMPARE(cells.size(), 16);
            QCOMPARE(QDateTime::fromString(cells[0].toString(), Qt::ISODate).toMSecsSinceEpoch(),
                     table.DataRow(r).time / 1000 * 1000);
            QCOMPARE(cells[1].toString(), w.SerialNumber());
            QCOMPARE(cells[2].toString(), r == 3 ? QStringLiteral("failed") : QStringLiteral("ok"));
            for (int f = 0; f < 13; ++f) {
                const QString cell = cells[3 + f].toString();
                const bool present = r == 1 || (r == 2 && f < 7);
                QCOMPARE(cell.isEmpty(), !present);
                if (present)
                    QCOMPARE(float(cell.toDouble()), Values[size_t(f)]);
            }
        }
    }

    // Two programs meeting a new history (the service and the window at first start) both
    // create it, every time; what they make is the owner's alone, and a folder that was there
    // keeps its mode.
    void twoProgramsCreateOneHistory() {
        const QString shared = dir->filePath(QStringLiteral("shared"));
        QVERIFY(QDir().mkdir(shared));
        QVERIFY(chmod(QFile::encodeName(shared).constData(), 0755) == 0);
        for (int round = 0; round < 30; ++round) {
            const QString folder = shared + QStringLiteral("/%1/kdr31").arg(round);
            const QString file = folder + QStringLiteral("/history.sqlite");
            const QString go = dir->filePath(QStringLiteral("go%1").arg(round));
            std::array<QProcess, 2> creators;
            for (size_t i = 0; i < creators.size(); ++i) {
                QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
                environment.insert(QStringLiteral("KDR31_CREATE_HISTORY"), file);
                environment.insert(QStringLiteral("KDR31_CREATE_GO"), go);
                environment.insert(QStringLiteral("KDR31_CREATE_TIME"), QString::number(1000 + i));
                creators[i].setProcessEnvironment(environment);
                creators[i].start(QCoreApplication::applicationFilePath(), {});
                QVERIFY(creators[i].waitForStarted());
            }
            QTest::qWait(50);
            QFile(go).open(QIODevice::WriteOnly);
            for (QProcess& creator : creators) {
                QVERIFY(creator.waitForFinished(20000));
                QVERIFY2(creator.exitStatus() == QProcess::NormalExit && creator.exitCode() == 0,
                         qPrintable(QStringLiteral("round %1: %2")
                                        .arg(round)
                                        .arg(QString::fromUtf8(creator.readAllStandardError()))));
            }
            QCOMPARE(AllReadings(file).size(), size_t(2));
            QCOMPARE(Mode(folder), 0700);
            QCOMPARE(Mode(QFileInfo(folder).absolutePath()), 0700);
        }
        QCOMPARE(Mode(shared), 0755);

        const QString file = shared + QStringLiteral("/0/kdr31/history.sqlite");
        HistoryStore writer;
        QVERIFY(writer.Open(file));
        Reading reading;
        reading.row.time = 5000;
        QVERIFY(writer.Insert({reading}));
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QCOMPARE(Mode(file + suffix), 0600);
    }

    // A history made by a newer version is refused, and left as it was: not switched to WAL,
    // not migrated.
    void newerSchemaIsRefusedUntouched() {
        const QString file = dir->filePath(QStringLiteral("newer.sqlite"));
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(file).constData(), &db), SQLITE_OK);
        const QByteArray newer = "CREATE TABLE future(x); PRAGMA user_version=" +
                                 QByteArray::number(HistoryStore::SchemaVersion + 1);
        QCOMPARE(sqlite3_exec(db, newer.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        const QByteArray before = Contents(file);
        for (const bool readOnly : {false, true}) {
            HistoryStore store;
            QVERIFY(!store.Open(file, readOnly));
            QCOMPARE(store.LastError(), HistoryStore::Error::TooNew);
            QVERIFY2(store.ErrorText().contains(QStringLiteral("newer")),
                     qPrintable(store.ErrorText()));
        }
        QCOMPARE(Contents(file), before);
    }

    // Kept with its fields, told apart from an ok reading when read back.
    void implausibleReadingIsKeptFlagged() {
        const QString file = dir->filePath(QStringLiteral("history.sqlite"));
        std::vector<Reading> readings(2);
        for (size_t i = 0; i < readings.size(); ++i) {
            readings[i].row.time = 1000 + qint64(i);
            readings[i].row.state = ReadingsRow::Received;
            readings[i].row.present = 0b11;
            readings[i].row.fields = {2.39e-38f, 12858161.0f};
            readings[i].implausible = i == 1;
        }
        {
            HistoryStore store;
            QVERIFY(store.Open(file));
            QVERIFY(store.Insert(readings));
        }
        const std::vector<Reading> back = AllReadings(file);
        QCOMPARE(back.size(), size_t(2));
        for (size_t i = 0; i < back.size(); ++i) {
            QCOMPARE(back[i].implausible, i == 1);
            QCOMPARE(back[i].row.state, ReadingsRow::Received);
            QCOMPARE(back[i].row.present, std::uint16_t(0b11));
            QCOMPARE(back[i].row.fields[1], 12858161.0f);
        }
        // Nor is an unflagged counter that is not a number (written before readings were judged)
        // a sample of the quarter-hours: it would make the month's peak NaN.
        Reading notANumber = readings[0];
        notANumber.row.time = 2000;
        notANumber.row.present = 0b111;
        notANumber.row.fields[2] = std::numeric_limits<float>::quiet_NaN();
        {
            HistoryStore store;
            QVERIFY(store.Open(file) && store.Insert({notANumber}));
        }
        QCOMPARE(ImportCounter(file, 0, 3000, QString(), nullptr)->size(), size_t(0));
    }

    // A database that refuses every write at once is tried again every retry interval, not back
    // to back; at stop, a problem that will not pass is not waited for, and what was not written
    // is counted.
    void recorderPacesItsRetries() {
        QFile blocker(dir->filePath(QStringLiteral("not-a-folder")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        HistoryRecorder recorder(blocker.fileName() + QStringLiteral("/history.sqlite"),
                                 {100'000, 50, 5'000});
        QSignalSpy started(&recorder, &HistoryRecorder::ProblemStarted);
        recorder.Record({});
        QTRY_COMPARE(started.size(), 1);
        const qint64 first = recorder.Attempts();
        QElapsedTimer window;
        window.start();
        QTest::qWait(1000);
        const qint64 attempts = recorder.Attempts() - first;
        // About 20; one more may be under way. Back to back would be many thousands.
        QVERIFY2(attempts >= 5 && attempts <= window.elapsed() / 50 + 1,
                 qPrintable(QStringLiteral("%1 in %2 ms").arg(attempts).arg(window.elapsed())));
        recorder.Record({});
        QElapsedTimer stopping;
        stopping.start();
        recorder.Stop();
        QVERIFY2(stopping.elapsed() < 2000, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(recorder.Unwritten(), qint64(2));
        QCOMPARE(recorder.Written(), qint64(0));
        QCOMPARE(started.size(), 1);
    }

    // Another program holds the write lock when the recorder stops: the last readings wait for
    // it (within stopWaitMs) instead of being lost; past that, they are counted, with the reason,
    // and nothing is posted to an event loop that may have ended.
    void stopWaitsForALockedDatabase_data() {
        QTest::addColumn<bool>("lifted");
        QTest::newRow("lock lifted while stopping") << true;
        QTest::newRow("lock held") << false;
    }
    void stopWaitsForALockedDatabase() {
        QFETCH(bool, lifted);
        const QString file = dir->filePath(QStringLiteral("history.sqlite"));
        {
            HistoryStore store;
            QVERIFY(store.Open(file));
        }
        sqlite3* lock = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(file).constData(), &lock), SQLITE_OK);
        QCOMPARE(sqlite3_exec(lock, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        auto closeLock = qScopeGuard([&] { sqlite3_close(lock); });

        HistoryRecorder recorder(file, {100'000, 60'000, 5'000, lifted ? 10'000 : 1'000});
        QSignalSpy started(&recorder, &HistoryRecorder::ProblemStarted);
        Reading reading;
        reading.row.time = 1000;
        recorder.Record(reading);
        QTRY_COMPARE_WITH_TIMEOUT(started.size(), 1, 10000); // a write waited 2 s, in vain
        reading.row.time = 2000;
        recorder.Record(reading);
        // Lifted after the first try at stop has waited its 2 s in vain.
        std::thread lifter([&] {
            if (!lifted)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            sqlite3_exec(lock, "COMMIT", nullptr, nullptr, nullptr);
        });
        recorder.Stop();
        lifter.join();
        QCoreApplication::processEvents();
        QCOMPARE(started.size(), 1);
        QCOMPARE(recorder.Unwritten(), lifted ? qint64(0) : qint64(2));
        QCOMPARE(recorder.Written(), lifted ? qint64(2) : qint64(0));
        QVERIFY2(lifted == recorder.Problem().isEmpty(), qPrintable(recorder.Problem()));
        if (!lifted)
            QVERIFY2(recorder.Problem().contains(QStringLiteral("locked")),
                     qPrintable(recorder.Problem()));
        QCOMPARE(AllReadings(file).size(), lifted ? size_t(2) : size_t(0));
    }

    // The quarter table written live, in batches of every size and across restarts, equals the
    // table an older history gets when it is migrated, the quarters a read-only older history
    // computes from its readings, and the arithmetic on all the readings at once; and the
    // readers on top of it (day totals, the day's quarters, the month's peak, a poller's start
    // mid-quarter) agree with the arithmetic on the readings.
    void quarterTableEqualsTheReadings() {
        QVERIFY(InBrussels);
        const std::vector<Reading> readings = TwoStretches();
        const QString live = dir->filePath(QStringLiteral("live.sqlite"));
        {
            auto store = std::make_unique<HistoryStore>();
            QVERIFY(store->Open(live));
            const size_t sizes[] = {1, 2, 7, 60, 400};
            for (size_t i = 0, n = 0; i < readings.size(); ++n) {
                const size_t take = std::min(sizes[n % 5], readings.size() - i);
                QVERIFY2(store->Insert({readings.begin() + std::ptrdiff_t(i),
                                        readings.begin() + std::ptrdiff_t(i + take)}),
                         qPrintable(store->ErrorText()));
                i += take;
                if (n % 23 == 0) { // the program restarts
                    store = std::make_unique<HistoryStore>();
                    QVERIFY(store->Open(live));
                }
            }
        }
        const QString older = dir->filePath(QStringLiteral("older.sqlite"));
        const QString migrated = dir->filePath(QStringLiteral("migrated.sqlite"));
        QVERIFY(OlderCopy(live, older) && OlderCopy(live, migrated));
        QCOMPARE(StoredQuarters(migrated, QStringLiteral("KD310042"), 0, 1, false), QStringList());
        QCOMPARE(TableRows(migrated), TableRows(live));

        const qint64 from = LocalMs(QDate(2026, 3, 27), 12, 0);
        const qint64 to = LocalMs(QDate(2026, 10, 27), 12, 0);
        for (const QString serial : {"KD310042", "KD310043"}) {
            const QStringList expected = ExpectedQuarters(readings, serial, from, to);
            QVERIFY(expected.size() > (serial == "KD310042" ? 300 : 20));
            QCOMPARE(StoredQuarters(live, serial, from, to), expected);
            QCOMPARE(StoredQuarters(older, serial, from, to), expected);
        }

        // Day totals: complete days (the 23-hour and the 25-hour one) are the counter's
        // difference over the day; the days with the gap and the new meter are incomplete.
        const auto days = DayTotals(live, QDate(2026, 3, 28), QDate(2026, 3, 29), {}, nullptr);
        const auto autumn = DayTotals(live, QDate(2026, 10, 24), QDate(2026, 10, 25), {}, nullptr);
        QVERIFY(days && autumn);
        const auto importWh = Counter(readings, QStringLiteral("KD310042"), true);
        const auto exportWh = Counter(readings, QStringLiteral("KD310042"), false);
        for (const DayEnergy& day : {(*days)[0], (*days)[1], (*autumn)[0], (*autumn)[1]}) {
            const IntervalDelta in = IntervalDeltas(importWh, {day.start, day.end})[0];
            const IntervalDelta out = IntervalDeltas(exportWh, {day.start, day.end})[0];
            QCOMPARE(day.importWh.has_value(), in.complete);
            QCOMPARE(day.exportWh.has_value(), out.complete);
            if (in.complete)
                QVERIFY(std::abs(*day.importWh - in.delta) < 1e-6);
            if (out.complete)
                QVERIFY(std::abs(*day.exportWh - out.delta) < 1e-6);
        }
        QVERIFY(!(*days)[0].importWh && (*days)[1].importWh && (*days)[1].exportWh);
        QVERIFY(!(*autumn)[0].importWh && (*autumn)[1].importWh);

        const QDate back(2026, 10, 25);
        const auto quarters = DayQuarterHours(live, back, std::nullopt, nullptr);
        const auto raw =
            QuarterHours(importWh, back.startOfDay(Brussels).toMSecsSinceEpoch(),
                         back.addDays(1).startOfDay(Brussels).toMSecsSinceEpoch(), Brussels);
        QVERIFY(quarters);
        QCOMPARE(quarters->size(), size_t(100));
        for (size_t i = 0; i < raw.size(); ++i)
            QVERIFY((*quarters)[i].start == raw[i].start &&
                    (*quarters)[i].complete == raw[i].complete &&
                    (*quarters)[i].averageW == raw[i].averageW);

        const auto report = MonthlyPeakReport(live, 2026, 3, QStringLiteral("KD310042"),
                                              LocalMs(QDate(2026, 11, 1), 0, 0), nullptr);
        const MonthPeak march = PeakOfMonth(importWh, 2026, 3, Brussels);
        QVERIFY(report && report->peak.found);
        QCOMPARE(report->peak.peak.start, march.peak.start);
        QCOMPARE(report->peak.peak.averageW, march.peak.averageW);
        QCOMPARE(report->peak.completeQuarters, march.completeQuarters);
        QCOMPARE(report->peak.incompleteQuarters, march.incompleteQuarters);

        // A poller restarted in the middle of the 6 kW quarter goes on with the history's
        // readings of that quarter, and closes it as the month's peak.
        const qint64 restart = SixKwQuarter() + 450 * Second;
        const QString cut = dir->filePath(QStringLiteral("restart.sqlite"));
        std::vector<Reading> before, after;
        for (const Reading& r : readings)
            (r.row.time <= restart ? before : after).push_back(r);
        {
            HistoryStore store;
            QVERIFY(store.Open(cut) && store.Insert(before));
        }
        LiveQuarter quarter(Brussels);
        SeedLiveQuarter(quarter, cut, restart);
        const auto running = RunningQuarterAverage(importWh, restart, Brussels);
        QVERIFY(running && quarter.At(restart).averageW == running);
        for (size_t i = 0; after[i].row.time < restart + 600 * Second; ++i)
            if (const auto wh = ImportWhOf(after[i]))
                quarter.Add({after[i].row.time, *wh}, after[i].row.fields[0]);
        const MonthPeak october = PeakOfMonth(importWh, 2026, 10, Brussels);
        const auto peak = quarter.At(restart + 600 * Second).monthPeak;
        QVERIFY(peak && october.peak.start == QuarterStart(restart, Brussels));
        QCOMPARE(peak->start, october.peak.start);
        QCOMPARE(peak->averageW, october.peak.averageW);
    }

    // An older history gets its quarter table once: not when the build is called off (the file
    // stays as it was), then with its progress while a recorder writes on; readings that an
    // older version writes past the table's mark are read from the readings, and the next write
    // brings the table level with a fresh build.
    void olderHistoryIsMigratedOnce() {
        const std::vector<Reading> readings = TwoStretches();
        const QString file = dir->filePath(QStringLiteral("history.sqlite"));
        {
            const QString made = dir->filePath(QStringLiteral("made.sqlite"));
            HistoryStore store;
            QVERIFY(store.Open(made) && store.Insert(readings) && OlderCopy(made, file));
        }
        {
            HistoryStore store;
            store.SetRebuildProgress([](int percent) { return percent < 100; });
            QVERIFY(!store.Open(file));
            QCOMPARE(store.LastError(), HistoryStore::Error::Interrupted);
        }
        QCOMPARE(UserVersion(file), 1);

        // A reading every second from the end of the stretches, recorded while the table is
        // built: the recorder waits for the build, or finds the history locked and tries again.
        Meter meter;
        qint64 next = readings.back().row.time + 10 * Second;
        HistoryRecorder recorder(file, {100'000, 50, 5'000});
        std::vector<int> progress;
        {
            HistoryStore store;
            store.SetRebuildProgress([&](int percent) {
                progress.push_back(percent);
                for (int i = 0; i < 30; ++i, next += 10 * Second)
                    recorder.Record(MeterReading(QStringLiteral("KD310042"), next, 10 * Second,
                                                 2000, 0, meter));
                return true;
            });
            QVERIFY2(store.Open(file), qPrintable(store.ErrorText()));
        }
        QVERIFY(progress.size() >= 2 && progress.front() == 0 && progress.back() == 100);
        QVERIFY(std::is_sorted(progress.begin(), progress.end()));
        QVERIFY(recorder.WaitUntilWritten(20'000));
        QCOMPARE(UserVersion(file), 2);
        {
            HistoryStore store;
            store.SetRebuildProgress([](int) { return false; });
            QVERIFY(store.Open(file)); // nothing left to build
        }

        // An older version that still has the file open writes three more quarters.
        sqlite3* old = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(file).constData(), &old), SQLITE_OK);
        auto closeOld = qScopeGuard([&] { sqlite3_close(old); });
        for (int i = 0; i < 300; ++i, next += 10 * Second) {
            const Reading r =
                MeterReading(QStringLiteral("KD310042"), next, 10 * Second, 2500, 0, meter);
            const QByteArray sql =
                QStringLiteral("INSERT INTO readings(time_ms, device, status, present, "
                               "import_high_wh, import_low_wh) VALUES (%1, 1, 2, 6, %2, %3)")
                    .arg(next)
                    .arg(double(r.row.fields[1]), 0, 'g', 17)
                    .arg(double(r.row.fields[2]), 0, 'g', 17)
                    .toUtf8();
            QCOMPARE(sqlite3_exec(old, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        }
        const std::vector<Reading> all = AllReadings(file);
        const qint64 from = readings.front().row.time, to = next + 3600 * Second;
        const QStringList expected = ExpectedQuarters(all, QStringLiteral("KD310042"), from, to);
        QCOMPARE(StoredQuarters(file, QStringLiteral("KD310042"), from, to), expected);

        recorder.Record(MeterReading(QStringLiteral("KD310042"), next, 10 * Second, 0, 0, meter));
        QVERIFY(recorder.WaitUntilWritten(10'000));
        const QString fresh = dir->filePath(QStringLiteral("fresh.sqlite"));
        QVERIFY(OlderCopy(file, fresh));
        {
            HistoryStore store;
            QVERIFY(store.Open(fresh));
        }
        QCOMPARE(TableRows(file), TableRows(fresh));
    }

    // The twelve months as `peak` bills them: months missing from the history are left out, a
    // month below 2.5 kW counts at 2.5 kW, months belong to the local calendar, the month in
    // progress counts with its peak so far, and the figures come to the cent and the watt.
    void billedMonthsFromTheHistory() {
        const QString file = dir->filePath(QStringLiteral("history.sqlite"));
        Meter meter;
        std::vector<Reading> readings;
        // One complete quarter at a steady power (a whole Wh every 10 s: no rounding).
        const auto quarterAt = [&](const QDate& day, int hour, int minute, double watts) {
            const qint64 start = LocalMs(day, hour, minute);
            for (qint64 t = start - 150 * Second; t <= start + 1050 * Second; t += 10 * Second)
                readings.push_back(
                    MeterReading(QStringLiteral("KD310042"), t, 10 * Second, watts, 0, meter));
        };
        quarterAt(QDate(2025, 2, 20), 12, 0, 9000); // before the twelve months
        quarterAt(QDate(2025, 6, 15), 12, 0, 1800);
        quarterAt(QDate(2026, 1, 1), 0, 15, 4320); // 23:15 UTC: January in Brussels
        quarterAt(QDate(2026, 2, 10), 12, 0, 3240);
        quarterAt(QDate(2026, 3, 5), 12, 0, 9000); // after the month billed
        {
            HistoryStore store;
            QVERIFY(store.Open(file) && store.Insert(readings));
        }
        const auto report = MonthlyPeakReport(file, 2026, 2, std::nullopt,
                                              LocalMs(QDate(2026, 2, 10), 13, 0), nullptr, 50.0);
        QVERIFY(report);
        const QJsonObject json = PeakReportJson(*report);
        // (2500 + 4320 + 3240) / 3 W; (3240 - 2500) W over twelve months at 50 EUR per kW.
        QCOMPARE(JsonText({{"w", json.value("billed_peak_w")}}), QByteArray("{\"w\":3353.3333}"));
        QCOMPARE(json.value("year_cost_eur").toDouble(), 167.67);
        QCOMPARE(json.value("month_above_floor_eur").toDouble(), 3.08);
        QCOMPARE(json.value("months_counted").toInt(), 3);
        QCOMPARE(json.value("capacity_price_eur_per_kw_year").toDouble(), 50.0);
        const QJsonArray months = json.value("months").toArray();
        QCOMPARE(months.size(), 12);
        QStringList got;
        for (const QJsonValue& m : months)
            got << QStringLiteral("%1 %2 %3")
                       .arg(m["month"].toString(), m["peak_w"].toVariant().toString(),
                            m["counted_w"].toVariant().toString());
        QCOMPARE(got, (QStringList{"2025-03  ", "2025-04  ", "2025-05  ", "2025-06 1800 2500",
                                   "2025-07  ", "2025-08  ", "2025-09  ", "2025-10  ", "2025-11  ",
                                   "2025-12  ", "2026-01 4320 4320", "2026-02 3240 3240"}));
        const QString text = PeakReportText(*report);
        for (const char* line : {"\n2025-06: 1.800 kW, counted 2.500 kW\n", "\n2025-07: missing\n",
                                 "\nBilled peak: 3.353 kW, the mean of 3 months\n",
                                 "\nYear's cost at the billed peak: 167.67 EUR\n"})
            QVERIFY2(text.contains(QLatin1String(line)), qPrintable(text));
    }
};

QTEST_MAIN(TestHistory)
#include "test_history.moc"
