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
// Schema, version 1 (PRAGMA user_version; a newer file is refused, an older one is migrated in
// Open):
//   devices(id INTEGER PRIMARY KEY, serial TEXT UNIQUE)       -- "" when the device gave none
//   readings(time_ms, device, status, tariff_low, present,
//            import_power_w, ..., extern2)                    -- the CSV's field names
//     time_ms: PC clock when the row was written, UTC ms since the epoch
//     status: 1 the readings command failed, 2 received, 3 received but implausible (a counter
//     lower than before, a value not finite: kept as sent, flagged); present: bit i set, field i
//     was in the reply (a field the reply did not cover is NULL; NaN is stored as NULL with its
//     bit) PRIMARY KEY (time_ms, device), WITHOUT ROWID: the key is the time index.

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
    static constexpr int SchemaVersion = 1;

    enum class Error { None, CannotOpen, ReadOnly, Full, Locked, Damaged, TooNew, Other };

    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // The per-user database: history.sqlite in the tool's folder of the user's data directory
    // (~/.local/share/kdr31/ on Linux, %LOCALAPPDATA%\kdr31\ on Windows). The folder is named
    // here rather than taken from the application name, so the window and the command line
    // share one history whatever they call themselves.
    static QString DefaultPath();

    // Opens the database, creating its folder, the file and the schema when needed: the file
    // (and its -wal, -shm) readable by the owner only, and the folders it makes (not one that is
    // there already) 0700. A store opened read-only never creates anything.
    bool Open(const QString& path, bool readOnly = false);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }

    Error LastError() const { return error_; }
    // What went wrong, for the user: "the database is read-only (/path/history.sqlite)".
    QString ErrorText() const { return errorText_; }

    // All or nothing, in one transaction.
    bool Insert(const std::vector<Reading>& readings);

    // The readings in [fromMs, toMs), in time order; of one device, or of all without a serial
    // (an empty serial is a device that gave none). visit returns false to stop.
    bool ForEach(qint64 fromMs, qint64 toMs, const std::optional<QString>& serial,
                 const std::function<bool(const Reading&)>& visit);

    // The serial numbers in the history, and the serial of its newest reading before toMs.
    QStringList Serials();
    std::optional<QString> NewestSerial(qint64 toMs);

private:
    bool Fail(int code, const char* what);
    bool Exec(const char* sql);
    bool UseWal();
    int UserVersion();
    bool RefuseTooNew();
    bool Migrate(int version);
    int DeviceId(const QString& serial);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    QString path_;
    Error error_ = Error::None;
    QString errorText_;
    std::vector<std::pair<QString, int>> devices_; // serial -> id, of this connection
};
