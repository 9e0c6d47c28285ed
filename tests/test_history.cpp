// The readings history through the real window against the simulator: what the poll records,
// a database that cannot be written, and the CSV exports read back by an independent reader.

#include "device_link/ReplyParser.h"
#include "history/HistoryStore.h"
#include "main_window/HistoryMenu.h"
#include "readings/ReadingsGrid.h"
#include "support/SimulatedPorts.h"
#include "support/WindowFixture.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
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
};

QTEST_MAIN(TestHistory)
#include "test_history.moc"
