#pragma once
// The readings history: one SQLite database per user that keeps every reading the poll takes,
// raw, with its UTC time and the serial number of the device it came from.
//
// SQLite through its C library rather than Qt SQL: the recorder needs the exact reason a write
// failed (read-only, disk full, locked, damaged) to tell the user once and to know when to try
// again, statements are prepared once and bound without QVariant, and there is no driver plugin
// to find at run time.
//
// One HistoryStore is one connection and belongs to one thread. The database is in WAL mode, so
// the recorder's connection writes while another connection (the export, the chart) reads.
//
// Schema, version 2 (PRAGMA user_version; a newer file is refused, an older one is migrated in
// Open):
//   devices(id INTEGER PRIMARY KEY, serial TEXT UNIQUE)       -- "" when the device gave none
//   readings(time_ms, device, status, tariff_low, present,
//            import_power_w, ..., extern2)                    -- the CSV's field names
//     time_ms: PC clock when the row was written, UTC ms since the epoch
//     status: 1 the readings command failed, 2 received, 3 received but implausible (a counter
//     lower than before, a value not finite: kept as sent, flagged); present: bit i set, field i
//     was in the reply (a field the reply did not cover is NULL; NaN is stored as NULL with its
//     bit) PRIMARY KEY (time_ms, device), WITHOUT ROWID: the key is the time index.
//   quarters(device, start_ms, end_ms, import_wh, export_wh)  -- since version 2
//     the energy of each quarter-hour that a counter covers whole (QuarterStream's rule; the
//     other counter NULL), so that peaks and day totals over a year read some 35,000 rows
//     instead of 6 million readings. PRIMARY KEY (device, start_ms), WITHOUT ROWID.
//   quarter_marks(device PRIMARY KEY, through_ms)              -- since version 2
//     the quarters hold every reading of the device up to through_ms (NULL: no reading yet).
//     Insert writes both in the transaction of the readings, whenever a reading completes a
//     quarter (the first past each boundary: the others cannot). The readers compute the
//     quarters after the mark from the readings: minutes of them, or more where an older
//     version of the tool that still had the file open wrote on; the next Insert of the device
//     takes those in too.
//
// Version 1 files get the quarter tables in Open, built from their readings in one transaction
// (a year of 5-second readings: seconds). A store opened read-only on a version 1 file answers
// Quarters() from the readings.

#include "history/QuarterPeak.h"
#include "readings/ReadingsFormat.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class HistoryStore {
public:
    static constexpr int SchemaVersion = 2;

    enum class Error {
        None,
        CannotOpen,
        ReadOnly,
        Full,
        Locked,
        Damaged,
        TooNew,
        Interrupted, // the rebuild of the quarter-hours was called off (SetRebuildProgress)
        Other
    };

    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // The per-user database: history.sqlite in the tool's folder of the user's data directory
    // (~/.local/share/kdr31/ on Linux, %LOCALAPPDATA%\kdr31\ on Windows). The folder is named
    // here rather than taken from the application name, so the window and the command line
    // share one history whatever they call themselves.
    static QString DefaultPath();

    // Building the quarter-hour table of a version 1 history in Open: called with the share
    // done (0 to 100) at the start, every 65,536 readings and at the end; returning false calls
    // the build off (Open fails with Interrupted, the file stays as it was, and the next Open
    // builds it).
    void SetRebuildProgress(std::function<bool(int percent)> progress) {
        progress_ = std::move(progress);
    }

    // Opens the database, creating its folder, the file and the schema when needed: the file
    // (and its -wal, -shm) readable by the owner only, and the folders it makes (not one that is
    // there already) 0700. A store opened read-only never creates anything.
    bool Open(const QString& path, bool readOnly = false);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    // The file has its quarter-hour table: false for a version 1 file opened read-only.
    bool HasQuarterTable() const { return db_ != nullptr && hasQuarters_; }

    Error LastError() const { return error_; }
    // What went wrong, for the user: "the database is read-only (/path/history.sqlite)".
    QString ErrorText() const { return errorText_; }

    // All or nothing, in one transaction, the quarter-hours the readings complete with them.
    bool Insert(const std::vector<Reading>& readings);

    // The readings in [fromMs, toMs), in time order; of one device, or of all without a serial
    // (an empty serial is a device that gave none). visit returns false to stop.
    bool ForEach(qint64 fromMs, qint64 toMs, const std::optional<QString>& serial,
                 const std::function<bool(const Reading&)>& visit);

    // The serial numbers in the history, and the serial of its newest reading before toMs.
    QStringList Serials();
    std::optional<QString> NewestSerial(qint64 toMs);

    // The quarter-hours of the device that start in [fromMs, toMs) and that at least one
    // counter covers whole, in time order: what QuarterStream gives on the device's readings,
    // from the quarter table where it holds them (a few rows a quarter), from the readings
    // where it does not (a version 1 file opened read-only, readings past the mark). No device
    // of that serial: none. Nothing, with the reason, when the database cannot be read.
    std::optional<std::vector<QuarterEnergy>> Quarters(const QString& serial, qint64 fromMs,
                                                       qint64 toMs);

    // The device's counters (ImportWhOf, ExportWhOf) of the readings in [fromMs, toMs), in
    // time order, without the rest of the reading. False when the database cannot be read.
    bool ForEachCounter(const QString& serial, qint64 fromMs, qint64 toMs,
                        const std::function<void(qint64 time, std::optional<double> importWh,
                                                 std::optional<double> exportWh)>& visit);

private:
    bool Fail(int code, const char* what);
    bool Exec(const char* sql);
    bool UseWal();
    int UserVersion();
    bool RefuseTooNew();
    bool Migrate(int version);
    int DeviceId(const QString& serial);
    std::optional<int> FindDevice(const QString& serial);
    bool RebuildQuarters();
    // One device's readings in the Insert under way: their times and those of their samples.
    struct Batch {
        int device = 0;
        qint64 from = 0;
        qint64 to = 0;
        qint64 count = 0;
        std::vector<qint64> importTimes;
        std::vector<qint64> exportTimes;
    };
    bool UpdateQuarters(const Batch& batch);
    bool WriteQuarters(int device, const std::vector<QuarterEnergy>& quarters);
    // The quarters that start in [fromMs, toMs) (unbounded: FarPast, FarFuture), from the
    // readings, of one device or of all (device < 0), by device and time. goOn is asked now and
    // then, with the time of the reading reached, whether to go on. lastSamples: each device's
    // newest import and export sample read (FarPast when none).
    struct DeviceQuarter {
        int device;
        QuarterEnergy quarter;
    };
    bool ComputeQuarters(int device, qint64 fromMs, qint64 toMs, std::vector<DeviceQuarter>& out,
                         const std::function<bool(qint64 time)>& goOn = {},
                         std::pair<qint64, qint64>* lastSamples = nullptr);
    // A statement prepared once for the connection, reset for use; nothing when it cannot be.
    sqlite3_stmt* Cached(const char* sql);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    QString path_;
    Error error_ = Error::None;
    QString errorText_;
    std::vector<std::pair<QString, int>> devices_; // serial -> id, of this connection
    bool hasQuarters_ = false;                     // the file has the quarter tables
    std::vector<std::pair<const char*, sqlite3_stmt*>> cached_;
    // What this connection knows of a device's newest readings, so that a reading that cannot
    // complete a quarter (all but the first past each boundary) costs nothing more. Forgotten
    // at a rollback.
    struct Tail {
        qint64 newest = 0; // the newest reading this connection wrote
        // The quarters of the newest import and export samples: a sample in the same quarter
        // completes none.
        qint64 importFrom = 0, importTo = 0;
        qint64 exportFrom = 0, exportTo = 0;
    };
    std::vector<std::pair<int, Tail>> tails_;
    std::function<bool(int)> progress_;
    QTimeZone zone_;
};

// A reading's energy counters as the quarter-hours count them: High + Low (Wh) of a received,
// plausible reading with both tariffs present and finite; nothing otherwise.
std::optional<double> ImportWhOf(const Reading& reading);
std::optional<double> ExportWhOf(const Reading& reading);
