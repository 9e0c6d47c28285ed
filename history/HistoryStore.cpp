#include "history/HistoryStore.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <sqlite3.h>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Readings columns after the key, status, tariff and present mask: the CSV's field names.
QByteArray FieldColumns() {
    QByteArray columns;
    for (const char* name : ReadingsFieldNames)
        columns += QByteArray(", ") + name;
    return columns;
}

QByteArray CreateSchema() {
    QByteArray fields;
    for (const char* name : ReadingsFieldNames)
        fields += QByteArray(",\n  ") + name + " REAL";
    return "CREATE TABLE devices (id INTEGER PRIMARY KEY, serial TEXT NOT NULL UNIQUE);\n"
           "CREATE TABLE readings (\n"
           "  time_ms INTEGER NOT NULL,\n"
           "  device INTEGER NOT NULL REFERENCES devices(id),\n"
           "  status INTEGER NOT NULL,\n"
           "  tariff_low INTEGER NOT NULL DEFAULT 0,\n"
           "  present INTEGER NOT NULL DEFAULT 0" +
           fields +
           ",\n"
           "  PRIMARY KEY (time_ms, device)\n"
           ") WITHOUT ROWID;\n";
}

// Version 2: the quarter-hours of each device and how far they reach (HistoryStore.h).
const char* const QuarterSchema = "CREATE TABLE quarters (\n"
                                  "  device INTEGER NOT NULL REFERENCES devices(id),\n"
                                  "  start_ms INTEGER NOT NULL,\n"
                                  "  end_ms INTEGER NOT NULL,\n"
                                  "  import_wh REAL,\n"
                                  "  export_wh REAL,\n"
                                  "  PRIMARY KEY (device, start_ms)\n"
                                  ") WITHOUT ROWID;\n"
                                  "CREATE TABLE quarter_marks (\n"
                                  "  device INTEGER PRIMARY KEY REFERENCES devices(id),\n"
                                  "  through_ms INTEGER\n"
                                  ");\n";

// Bounds of all the time there is, kept far from overflow in the arithmetic around them.
constexpr qint64 FarPast = -(qint64(1) << 60);
constexpr qint64 FarFuture = qint64(1) << 60;

// Fields of the energy counters: High and Low of import and of export.
constexpr int ImportHigh = 1;
constexpr int ImportLow = 2;
constexpr int ExportHigh = 5;
constexpr int ExportLow = 6;

// The one rule for a counter sample, for readings in memory and rows read by column alike.
std::optional<double> CounterOf(bool usable, unsigned present, int high, int low, double highWh,
                                double lowWh) {
    const unsigned both = (1u << high) | (1u << low);
    if (!usable || (present & both) != both)
        return std::nullopt;
    const double sum = highWh + lowWh;
    return std::isfinite(sum) ? std::optional<double>(sum) : std::nullopt;
}

std::optional<double> CounterOf(const Reading& r, int high, int low) {
    return CounterOf(r.row.state == ReadingsRow::Received && !r.implausible, r.row.present, high,
                     low, double(r.row.fields[size_t(high)]), double(r.row.fields[size_t(low)]));
}

// The status of a received reading that cannot be true (Reading::implausible); 1 and 2 are
// ReadingsRow's Failed and Received.
constexpr int ImplausibleStatus = 3;

struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

double ColumnOrNan(sqlite3_stmt* s, int column) {
    return sqlite3_column_type(s, column) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                         : sqlite3_column_double(s, column);
}

void BindOptional(sqlite3_stmt* s, int index, std::optional<double> value) {
    if (value)
        sqlite3_bind_double(s, index, *value);
    else
        sqlite3_bind_null(s, index);
}

// How long a connection waits for another one's write lock before it calls the database locked.
constexpr int BusyTimeoutMs = 2000;

// The history is a household's consumption minute by minute: what this creates, the owner alone
// may read. The folders are made one by one, so that only those made here get 0700; a folder that
// is already there keeps its mode. The file is made before SQLite opens it, because SQLite gives
// its -wal and -shm files the mode of the database file.
bool CreatePrivately(const QString& path) {
#ifdef Q_OS_UNIX
    QStringList missing;
    for (QString dir = QFileInfo(path).absolutePath(); !QFileInfo::exists(dir);
         dir = QFileInfo(dir).absolutePath()) {
        if (QDir(dir).isRoot())
            return false;
        missing.prepend(dir);
    }
    for (const QString& dir : missing)
        if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    // A file that is there already is left to SQLite, which tells read-only from missing.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0 || errno == EEXIST;
#else
    // The user's own application data folder is the owner's alone already.
    return QDir().mkpath(QFileInfo(path).absolutePath());
#endif
}

} // namespace

HistoryStore::~HistoryStore() {
    Close();
}

QString HistoryStore::DefaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/kdr31/history.sqlite");
}

bool HistoryStore::Fail(int code, const char* what) {
    const int primary = code & 0xff;
    switch (primary) {
    case SQLITE_READONLY:
        error_ = Error::ReadOnly;
        errorText_ = QStringLiteral("the database is read-only");
        break;
    case SQLITE_FULL:
        error_ = Error::Full;
        errorText_ = QStringLiteral("the disk is full");
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        error_ = Error::Locked;
        errorText_ = QStringLiteral("the database is locked by another program");
        break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        error_ = Error::Damaged;
        errorText_ = QStringLiteral("the database is damaged");
        break;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
        error_ = Error::CannotOpen;
        errorText_ = QStringLiteral("the database cannot be opened");
        break;
    default:
        error_ = Error::Other;
        errorText_ = QStringLiteral("%1 failed: %2")
                         .arg(QLatin1String(what), QLatin1String(sqlite3_errstr(code)));
        break;
    }
    errorText_ += QStringLiteral(" (%1)").arg(QDir::toNativeSeparators(path_));
    return false;
}

bool HistoryStore::Exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || Fail(sqlite3_extended_errcode(db_), sql);
}

bool HistoryStore::Open(const QString& path, bool readOnly) {
    Close();
    path_ = path;
    error_ = Error::None;
    errorText_.clear();
    if (!readOnly && !CreatePrivately(path))
        return Fail(SQLITE_CANTOPEN, "open");
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        Fail(db_ ? sqlite3_extended_errcode(db_) : rc, "open");
        Close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    // A writer that finds the database busy waits a little on its own thread; a reader (the
    // export, the chart) is never blocked by the writer in WAL mode.
    sqlite3_busy_timeout(db_, BusyTimeoutMs);
    // NORMAL in WAL mode: a crash of the program loses nothing; a power cut may lose the last
    // few readings, never the database.
    // A newer file is refused before anything is changed in it, its journal mode included.
    zone_ = QTimeZone::systemTimeZone();
    const int version = UserVersion();
    bool ok = version >= 0 && (version <= SchemaVersion || RefuseTooNew());
    ok = ok && (readOnly || (UseWal() && Exec("PRAGMA synchronous=NORMAL")));
    // Read-only, an older file is read as it is: its quarters come from its readings.
    const bool migrate = !readOnly || version == 0;
    hasQuarters_ = version >= 2 || migrate;
    if (!ok || (migrate && !Migrate(version))) {
        const Error error = error_;
        const QString text = errorText_;
        Close();
        error_ = error;
        errorText_ = text;
        return false;
    }
    return true;
}

// Switching a new file to WAL needs a moment alone with it: a second program creating the same
// history at that moment gets "busy" at once, without SQLite's busy handler, or finds the mode
// unchanged. Either passes as soon as the first one is done, so it is tried again for as long as
// a write waits for a lock.
bool HistoryStore::UseWal() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
    for (;;) {
        int rc;
        {
            Statement mode;
            rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &mode.s, nullptr);
            if (rc == SQLITE_OK) {
                rc = sqlite3_step(mode.s);
                if (rc == SQLITE_ROW &&
                    !sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode.s, 0)),
                                     "wal"))
                    return true;
            }
        }
        const bool late = std::chrono::steady_clock::now() >= deadline;
        // Another mode, still after the wait: a file system without WAL; the history works in
        // the rollback journal there, only readers wait for the writer.
        if (rc == SQLITE_ROW && late)
            return true;
        const int primary = sqlite3_extended_errcode(db_) & 0xff;
        if (rc != SQLITE_ROW && ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || late))
            return Fail(sqlite3_extended_errcode(db_), "PRAGMA journal_mode=WAL");
        QThread::msleep(10);
    }
}

int HistoryStore::UserVersion() {
    Statement version;
    if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &version.s, nullptr) != SQLITE_OK ||
        sqlite3_step(version.s) != SQLITE_ROW) {
        Fail(sqlite3_extended_errcode(db_), "read the schema version");
        return -1;
    }
    return sqlite3_column_int(version.s, 0);
}

bool HistoryStore::RefuseTooNew() {
    error_ = Error::TooNew;
    errorText_ = QStringLiteral("the database was made by a newer version of the tool (%1)")
                     .arg(QDir::toNativeSeparators(path_));
    return false;
}

// Two programs may find the same new file at once (the service and the window at first start).
// The version read first (v, read in Open) only says whether there is work to do; its statement is
// finished before BEGIN IMMEDIATE, as an open read would keep this connection from taking the write
// lock, and the version is read again under the lock: the other program may have created the
// schema meanwhile.
bool HistoryStore::Migrate(int v) {
    if (v == SchemaVersion)
        return true;
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    v = UserVersion();
    if (v < 0 || v > SchemaVersion) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return v < 0 ? false : RefuseTooNew();
    }
    if (v == SchemaVersion) // created by the other program
        return Exec("COMMIT");
    bool ok = true;
    if (v == 0) {
        ok = Exec(CreateSchema().constData()) && Exec(QuarterSchema);
        v = SchemaVersion;
    }
    if (ok && v == 1) {
        ok = Exec(QuarterSchema) && RebuildQuarters();
        v = 2;
    }
    ok = ok && Exec(QByteArray("PRAGMA user_version=" + QByteArray::number(v)).constData());
    if (!ok) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return Exec("COMMIT");
}

void HistoryStore::Close() {
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    for (const auto& [sql, statement] : cached_)
        sqlite3_finalize(statement);
    cached_.clear();
    devices_.clear();
    tails_.clear();
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

int HistoryStore::DeviceId(const QString& serial) {
    for (const auto& [known, id] : devices_)
        if (known == serial)
            return id;
    const QByteArray utf8 = serial.toUtf8();
    Statement add;
    Statement find;
    if (sqlite3_prepare_v2(db_, "INSERT OR IGNORE INTO devices(serial) VALUES (?)", -1, &add.s,
                           nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, "SELECT id FROM devices WHERE serial = ?", -1, &find.s, nullptr) !=
            SQLITE_OK) {
        Fail(sqlite3_extended_errcode(db_), "prepare");
        return -1;
    }
    sqlite3_bind_text(add.s, 1, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    if (sqlite3_step(add.s) != SQLITE_DONE) {
        Fail(sqlite3_extended_errcode(db_), "add a device");
        return -1;
    }
    const bool added = sqlite3_changes(db_) > 0;
    sqlite3_bind_text(find.s, 1, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    if (sqlite3_step(find.s) != SQLITE_ROW) {
        Fail(sqlite3_extended_errcode(db_), "find a device");
        return -1;
    }
    const int id = sqlite3_column_int(find.s, 0);
    // A device new to the history has no readings that its quarters could miss.
    if (added) {
        Statement mark;
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO quarter_marks(device, through_ms) VALUES (?, NULL)", -1,
                               &mark.s, nullptr) != SQLITE_OK) {
            Fail(sqlite3_extended_errcode(db_), "prepare");
            return -1;
        }
        sqlite3_bind_int(mark.s, 1, id);
        if (sqlite3_step(mark.s) != SQLITE_DONE) {
            Fail(sqlite3_extended_errcode(db_), "add a device");
            return -1;
        }
    }
    devices_.emplace_back(serial, id);
    return id;
}

bool HistoryStore::Insert(const std::vector<Reading>& readings) {
    if (!db_)
        return Fail(SQLITE_CANTOPEN, "insert");
    if (!insert_) {
        QByteArray sql = "INSERT OR REPLACE INTO readings(time_ms, device, status, tariff_low, "
                         "present" +
                         FieldColumns() + ") VALUES (?, ?, ?, ?, ?";
        for (int i = 0; i < ReadingsFieldCount; ++i)
            sql += ", ?";
        sql += ")";
        if (sqlite3_prepare_v3(db_, sql.constData(), -1, SQLITE_PREPARE_PERSISTENT, &insert_,
                               nullptr) != SQLITE_OK)
            return Fail(sqlite3_extended_errcode(db_), "prepare");
    }
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    bool ok = true;
    std::vector<Batch> batches; // one per device
    for (const Reading& reading : readings) {
        const int device = DeviceId(reading.serial);
        const ReadingsRow& row = reading.row;
        if (device < 0) {
            ok = false;
            break;
        }
        auto batch = std::find_if(batches.begin(), batches.end(),
                                  [device](const Batch& b) { return b.device == device; });
        if (batch == batches.end()) {
            batches.push_back({device, row.time, row.time, 0, {}, {}});
            batch = batches.end() - 1;
        }
        batch->from = std::min(batch->from, row.time);
        batch->to = std::max(batch->to, row.time);
        ++batch->count;
        if (ImportWhOf(reading))
            batch->importTimes.push_back(row.time);
        if (ExportWhOf(reading))
            batch->exportTimes.push_back(row.time);
        sqlite3_reset(insert_);
        sqlite3_bind_int64(insert_, 1, row.time);
        sqlite3_bind_int(insert_, 2, device);
        // A reading that cannot be true keeps its fields, as the device sent them, under a
        // status of its own.
        const bool implausible = reading.implausible && row.state == ReadingsRow::Received;
        sqlite3_bind_int(insert_, 3, implausible ? ImplausibleStatus : int(row.state));
        sqlite3_bind_int(insert_, 4, row.tariffLow ? 1 : 0);
        sqlite3_bind_int(insert_, 5, row.present);
        for (int i = 0; i < ReadingsFieldCount; ++i) {
            const float value = row.fields[size_t(i)];
            if ((row.present & (1u << i)) && !std::isnan(value))
                sqlite3_bind_double(insert_, 6 + i, double(value));
            else
                sqlite3_bind_null(insert_, 6 + i);
        }
        if (sqlite3_step(insert_) != SQLITE_DONE) {
            ok = Fail(sqlite3_extended_errcode(db_), "insert");
            break;
        }
    }
    sqlite3_reset(insert_);
    for (const Batch& batch : batches)
        ok = ok && UpdateQuarters(batch);
    if (ok && Exec("COMMIT"))
        return true;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // A device added in the rolled-back transaction is gone again, and so are the quarters.
    devices_.clear();
    tails_.clear();
    return false;
}

bool HistoryStore::ForEach(qint64 fromMs, qint64 toMs, const std::optional<QString>& serial,
                           const std::function<bool(const Reading&)>& visit) {
    if (!db_)
        return Fail(SQLITE_CANTOPEN, "read");
    QByteArray sql = "SELECT time_ms, serial, status, tariff_low, present" + FieldColumns() +
                     " FROM readings JOIN devices ON devices.id = readings.device"
                     " WHERE time_ms >= ?1 AND time_ms < ?2";
    if (serial)
        sql += " AND serial = ?3";
    sql += " ORDER BY time_ms";
    Statement query;
    if (sqlite3_prepare_v2(db_, sql.constData(), -1, &query.s, nullptr) != SQLITE_OK)
        return Fail(sqlite3_extended_errcode(db_), "prepare");
    sqlite3_bind_int64(query.s, 1, fromMs);
    sqlite3_bind_int64(query.s, 2, toMs);
    const QByteArray utf8 = serial ? serial->toUtf8() : QByteArray();
    if (serial)
        sqlite3_bind_text(query.s, 3, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    Reading reading;
    QByteArray lastSerial;
    int rc;
    while ((rc = sqlite3_step(query.s)) == SQLITE_ROW) {
        ReadingsRow& row = reading.row;
        row.time = sqlite3_column_int64(query.s, 0);
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(query.s, 1));
        const int length = sqlite3_column_bytes(query.s, 1);
        // Serials repeat from row to row: convert only when it changes.
        if (lastSerial.size() != length ||
            std::memcmp(lastSerial.constData(), text, size_t(length))) {
            lastSerial = QByteArray(text, length);
            reading.serial = QString::fromUtf8(lastSerial);
        }
        const int status = sqlite3_column_int(query.s, 2);
        reading.implausible = status == ImplausibleStatus;
        row.state = reading.implausible ? ReadingsRow::Received : ReadingsRow::State(status);
        row.tariffLow = sqlite3_column_int(query.s, 3) != 0;
        row.present = std::uint16_t(sqlite3_column_int(query.s, 4));
        for (int i = 0; i < ReadingsFieldCount; ++i) {
            const bool null = sqlite3_column_type(query.s, 5 + i) == SQLITE_NULL;
            row.fields[size_t(i)] =
                null ? ((row.present & (1u << i)) ? std::numeric_limits<float>::quiet_NaN() : 0.0f)
                     : float(sqlite3_column_double(query.s, 5 + i));
        }
        if (!visit(reading))
            return true;
    }
    return rc == SQLITE_DONE || Fail(sqlite3_extended_errcode(db_), "read");
}

QStringList HistoryStore::Serials() {
    QStringList serials;
    Statement query;
    if (!db_ || sqlite3_prepare_v2(db_, "SELECT serial FROM devices ORDER BY serial", -1, &query.s,
                                   nullptr) != SQLITE_OK)
        return serials;
    while (sqlite3_step(query.s) == SQLITE_ROW)
        serials << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query.s, 0)),
                                     sqlite3_column_bytes(query.s, 0));
    return serials;
}

std::optional<QString> HistoryStore::NewestSerial(qint64 toMs) {
    Statement query;
    if (!db_ || sqlite3_prepare_v2(db_,
                                   "SELECT serial FROM readings JOIN devices ON devices.id = "
                                   "readings.device WHERE time_ms < ? ORDER BY time_ms DESC "
                                   "LIMIT 1",
                                   -1, &query.s, nullptr) != SQLITE_OK)
        return std::nullopt;
    sqlite3_bind_int64(query.s, 1, toMs);
    if (sqlite3_step(query.s) != SQLITE_ROW)
        return std::nullopt;
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query.s, 0)),
                             sqlite3_column_bytes(query.s, 0));
}

std::optional<double> ImportWhOf(const Reading& reading) {
    return CounterOf(reading, ImportHigh, ImportLow);
}

std::optional<double> ExportWhOf(const Reading& reading) {
    return CounterOf(reading, ExportHigh, ExportLow);
}

std::optional<int> HistoryStore::FindDevice(const QString& serial) {
    for (const auto& [known, id] : devices_)
        if (known == serial)
            return id;
    Statement find;
    if (sqlite3_prepare_v2(db_, "SELECT id FROM devices WHERE serial = ?", -1, &find.s, nullptr) !=
        SQLITE_OK)
        return std::nullopt;
    const QByteArray utf8 = serial.toUtf8();
    sqlite3_bind_text(find.s, 1, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    if (sqlite3_step(find.s) != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int(find.s, 0);
}

bool HistoryStore::ComputeQuarters(int device, qint64 fromMs, qint64 toMs,
                                   std::vector<DeviceQuarter>& out,
                                   const std::function<bool(qint64 time)>& goOn,
                                   std::pair<qint64, qint64>* lastSamples) {
    if (lastSamples)
        *lastSamples = {FarPast, FarPast};
    // A quarter's counters at its boundaries come from the readings up to the gap allowed on
    // either side of it: the first quarter's start and the last one's end.
    const qint64 readFrom =
        fromMs <= FarPast ? FarPast : QuarterStart(fromMs, zone_) - DefaultMaxGapMs;
    const qint64 readTo = toMs >= FarFuture
                              ? FarFuture
                              : QuarterEnd(QuarterStart(toMs - 1, zone_), zone_) + DefaultMaxGapMs;
    QByteArray sql = QByteArray("SELECT device, time_ms, status, present, ") +
                     ReadingsFieldNames[ImportHigh] + ", " + ReadingsFieldNames[ImportLow] + ", " +
                     ReadingsFieldNames[ExportHigh] + ", " + ReadingsFieldNames[ExportLow] +
                     " FROM readings WHERE time_ms >= ?1 AND time_ms < ?2";
    if (device >= 0)
        sql += " AND device = ?3";
    sql += " ORDER BY time_ms";
    Statement query;
    if (sqlite3_prepare_v2(db_, sql.constData(), -1, &query.s, nullptr) != SQLITE_OK)
        return Fail(sqlite3_extended_errcode(db_), "prepare");
    sqlite3_bind_int64(query.s, 1, readFrom);
    sqlite3_bind_int64(query.s, 2, readTo);
    if (device >= 0)
        sqlite3_bind_int(query.s, 3, device);

    struct Streams {
        QuarterStream import;
        QuarterStream export_;
        std::map<qint64, QuarterEnergy> quarters;
    };
    std::map<int, Streams> devices;
    std::vector<IntervalDelta> closed;
    const auto take = [&](Streams& streams, bool import) {
        for (const IntervalDelta& d : closed) {
            if (d.start < fromMs || d.start >= toMs)
                continue;
            QuarterEnergy& q = streams.quarters[d.start];
            q.start = d.start;
            q.end = d.end;
            (import ? q.importWh : q.exportWh) = d.delta;
        }
        closed.clear();
    };
    int rc;
    qint64 rows = 0;
    while ((rc = sqlite3_step(query.s)) == SQLITE_ROW) {
        const int id = sqlite3_column_int(query.s, 0);
        const qint64 time = sqlite3_column_int64(query.s, 1);
        const bool usable = sqlite3_column_int(query.s, 2) == ReadingsRow::Received;
        const auto present = unsigned(sqlite3_column_int(query.s, 3));
        auto it = devices.find(id);
        if (it == devices.end())
            it = devices.emplace(id, Streams{QuarterStream(zone_), QuarterStream(zone_), {}}).first;
        Streams& streams = it->second;
        if (const auto wh = CounterOf(usable, present, ImportHigh, ImportLow,
                                      ColumnOrNan(query.s, 4), ColumnOrNan(query.s, 5))) {
            streams.import.Add({time, *wh}, closed);
            take(streams, true);
            if (lastSamples)
                lastSamples->first = time;
        }
        if (const auto wh = CounterOf(usable, present, ExportHigh, ExportLow,
                                      ColumnOrNan(query.s, 6), ColumnOrNan(query.s, 7))) {
            streams.export_.Add({time, *wh}, closed);
            take(streams, false);
            if (lastSamples)
                lastSamples->second = time;
        }
        if (goOn && ++rows % 65'536 == 0 && !goOn(time))
            return false;
    }
    if (rc != SQLITE_DONE)
        return Fail(sqlite3_extended_errcode(db_), "read");
    for (auto& [id, streams] : devices)
        for (auto& [start, quarter] : streams.quarters)
            out.push_back({id, quarter});
    return true;
}

bool HistoryStore::WriteQuarters(int device, const std::vector<QuarterEnergy>& quarters) {
    sqlite3_stmt* add = Cached("INSERT OR REPLACE INTO quarters(device, start_ms, end_ms, "
                               "import_wh, export_wh) VALUES (?, ?, ?, ?, ?)");
    if (!add)
        return false;
    for (const QuarterEnergy& q : quarters) {
        sqlite3_reset(add);
        sqlite3_bind_int(add, 1, device);
        sqlite3_bind_int64(add, 2, q.start);
        sqlite3_bind_int64(add, 3, q.end);
        BindOptional(add, 4, q.importWh);
        BindOptional(add, 5, q.exportWh);
        if (sqlite3_step(add) != SQLITE_DONE)
            return Fail(sqlite3_extended_errcode(db_), "write a quarter-hour");
    }
    sqlite3_reset(add);
    return true;
}

sqlite3_stmt* HistoryStore::Cached(const char* sql) {
    for (const auto& [known, statement] : cached_)
        if (known == sql) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            return statement;
        }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        Fail(sqlite3_extended_errcode(db_), "prepare");
        return nullptr;
    }
    cached_.emplace_back(sql, statement);
    return statement;
}

// Inside the transaction that wrote the batch's readings: the quarters those readings may change
// are computed again from the database's readings, so the last reading before a boundary counts
// whether it came in this batch, an earlier one, or before a restart.
bool HistoryStore::UpdateQuarters(const Batch& batch) {
    // Most readings complete no quarter: they come after the newest one this connection wrote,
    // and each sample lies in the quarter of the newest sample before it. Those leave the table
    // and the mark as they are, which loses nothing: the readers compute the quarters after the
    // mark from the readings (minutes of them), and the next pass here starts from the mark.
    auto tail = std::find_if(tails_.begin(), tails_.end(),
                             [&](const auto& t) { return t.first == batch.device; });
    const auto within = [](const std::vector<qint64>& times, qint64 from, qint64 to) {
        return std::all_of(times.begin(), times.end(),
                           [&](qint64 t) { return t >= from && t < to; });
    };
    if (tail != tails_.end() && batch.from > tail->second.newest &&
        within(batch.importTimes, tail->second.importFrom, tail->second.importTo) &&
        within(batch.exportTimes, tail->second.exportFrom, tail->second.exportTo)) {
        tail->second.newest = batch.to;
        return true;
    }

    sqlite3_stmt* mark = Cached("SELECT through_ms FROM quarter_marks WHERE device = ?");
    if (!mark)
        return false;
    sqlite3_bind_int(mark, 1, batch.device);
    const int rc = sqlite3_step(mark);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return Fail(sqlite3_extended_errcode(db_), "read");
    const bool known = rc == SQLITE_ROW;
    const bool marked = known && sqlite3_column_type(mark, 0) != SQLITE_NULL;
    const qint64 through = marked ? sqlite3_column_int64(mark, 0) : FarPast;
    sqlite3_reset(mark);

    // The readings after the mark are taken in too: those passed over above, and any that
    // another program or an older version of the tool wrote; of a device that an older version
    // added, all of them.
    qint64 from = batch.from;
    if (marked) {
        from = std::min(from, through);
    } else if (!known) {
        sqlite3_stmt* first =
            Cached("SELECT time_ms FROM readings WHERE device = ? ORDER BY time_ms LIMIT 1");
        if (!first)
            return false;
        sqlite3_bind_int(first, 1, batch.device);
        if (sqlite3_step(first) == SQLITE_ROW)
            from = std::min(from, sqlite3_column_int64(first, 0));
        sqlite3_reset(first);
    }
    sqlite3_stmt* newest = Cached("SELECT time_ms FROM readings WHERE time_ms >= ?1 AND "
                                  "device = ?2 ORDER BY time_ms DESC LIMIT 1");
    if (!newest)
        return false;
    sqlite3_bind_int64(newest, 1, from);
    sqlite3_bind_int(newest, 2, batch.device);
    const qint64 last =
        sqlite3_step(newest) == SQLITE_ROW ? sqlite3_column_int64(newest, 0) : batch.to;
    sqlite3_reset(newest);
    // The quarters that a reading at `from` or later can change start no earlier than the gap
    // allowed before it; those that start after the newest reading cannot be complete.
    const qint64 first = QuarterStart(from - DefaultMaxGapMs, zone_);
    std::vector<DeviceQuarter> computed;
    std::pair<qint64, qint64> lastSamples;
    if (!ComputeQuarters(batch.device, first, last + 1, computed, {}, &lastSamples))
        return false;
    std::vector<QuarterEnergy> quarters;
    quarters.reserve(computed.size());
    for (const DeviceQuarter& q : computed)
        quarters.push_back(q.quarter);
    sqlite3_stmt* clear =
        Cached("DELETE FROM quarters WHERE device = ? AND start_ms >= ? AND start_ms <= ?");
    if (!clear)
        return false;
    sqlite3_bind_int(clear, 1, batch.device);
    sqlite3_bind_int64(clear, 2, first);
    sqlite3_bind_int64(clear, 3, last);
    const bool cleared = sqlite3_step(clear) == SQLITE_DONE;
    sqlite3_reset(clear);
    if (!cleared)
        return Fail(sqlite3_extended_errcode(db_), "write a quarter-hour");
    if (!WriteQuarters(batch.device, quarters))
        return false;
    sqlite3_stmt* advance =
        Cached("INSERT OR REPLACE INTO quarter_marks(device, through_ms) VALUES (?, ?)");
    if (!advance)
        return false;
    sqlite3_bind_int(advance, 1, batch.device);
    sqlite3_bind_int64(advance, 2, last);
    const bool advanced = sqlite3_step(advance) == SQLITE_DONE;
    sqlite3_reset(advance);
    if (!advanced)
        return Fail(sqlite3_extended_errcode(db_), "write a quarter-hour");

    Tail known_{last, 0, 0, 0, 0};
    const auto quarterOf = [this](qint64 sample, qint64& from, qint64& to) {
        if (sample <= FarPast)
            return; // no sample yet: the next one goes the long way
        from = QuarterStart(sample, zone_);
        to = QuarterEnd(from, zone_);
    };
    quarterOf(lastSamples.first, known_.importFrom, known_.importTo);
    quarterOf(lastSamples.second, known_.exportFrom, known_.exportTo);
    if (tail != tails_.end())
        tail->second = known_;
    else
        tails_.emplace_back(batch.device, known_);
    return true;
}

// In the migration's transaction: one pass over every reading, in the order of the key.
bool HistoryStore::RebuildQuarters() {
    qint64 first = 0;
    qint64 last = 0;
    {
        Statement span;
        if (sqlite3_prepare_v2(db_, "SELECT min(time_ms), max(time_ms) FROM readings", -1, &span.s,
                               nullptr) != SQLITE_OK ||
            sqlite3_step(span.s) != SQLITE_ROW)
            return Fail(sqlite3_extended_errcode(db_), "read");
        first = sqlite3_column_int64(span.s, 0);
        last = sqlite3_column_int64(span.s, 1);
    }
    int percent = 0;
    const auto tell = [this](int share) {
        if (!progress_ || progress_(share))
            return true;
        error_ = Error::Interrupted;
        errorText_ = QStringLiteral("the quarter-hours of the history were being built (%1)")
                         .arg(QDir::toNativeSeparators(path_));
        return false;
    };
    const auto goOn = [&](qint64 time) {
        if (last > first)
            percent = std::max(percent, int((time - first) * 99 / (last - first)));
        return tell(percent);
    };
    std::vector<DeviceQuarter> computed;
    if (!tell(0) || !ComputeQuarters(-1, FarPast, FarFuture, computed, goOn))
        return false;
    std::map<int, std::vector<QuarterEnergy>> byDevice;
    for (const DeviceQuarter& q : computed)
        byDevice[q.device].push_back(q.quarter);
    for (const auto& [device, quarters] : byDevice)
        if (!WriteQuarters(device, quarters))
            return false;
    // Every device is marked up to its newest reading: found backwards along the time key.
    return Exec("INSERT INTO quarter_marks(device, through_ms) SELECT id, (SELECT time_ms FROM "
                "readings WHERE device = devices.id ORDER BY time_ms DESC LIMIT 1) FROM devices") &&
           tell(100);
}

std::optional<std::vector<QuarterEnergy>> HistoryStore::Quarters(const QString& serial,
                                                                 qint64 fromMs, qint64 toMs) {
    if (!db_) {
        Fail(SQLITE_CANTOPEN, "read");
        return std::nullopt;
    }
    std::vector<QuarterEnergy> result;
    const std::optional<int> device = FindDevice(serial);
    if (!device || toMs <= fromMs)
        return result;
    constexpr qint64 QuarterMs = 900'000;
    result.reserve(size_t(std::min<qint64>((toMs - fromMs) / QuarterMs + 8, 1 << 20)));
    // One snapshot for the mark, the table and the readings after the mark.
    if (!Exec("BEGIN"))
        return std::nullopt;
    auto end = qScopeGuard([this] { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); });
    // From `computeFrom` on, the quarters come from the readings.
    qint64 computeFrom = fromMs;
    if (hasQuarters_) {
        Statement mark;
        Statement after;
        if (sqlite3_prepare_v2(db_, "SELECT through_ms FROM quarter_marks WHERE device = ?", -1,
                               &mark.s, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db_,
                               "SELECT 1 FROM readings WHERE time_ms > ?1 AND device = ?2 LIMIT 1",
                               -1, &after.s, nullptr) != SQLITE_OK) {
            Fail(sqlite3_extended_errcode(db_), "prepare");
            return std::nullopt;
        }
        sqlite3_bind_int(mark.s, 1, *device);
        const bool marked =
            sqlite3_step(mark.s) == SQLITE_ROW && sqlite3_column_type(mark.s, 0) != SQLITE_NULL;
        const qint64 through = marked ? sqlite3_column_int64(mark.s, 0) : FarPast;
        sqlite3_bind_int64(after.s, 1, through);
        sqlite3_bind_int(after.s, 2, *device);
        const int rc = sqlite3_step(after.s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            Fail(sqlite3_extended_errcode(db_), "read");
            return std::nullopt;
        }
        // Readings past the mark change the quarters from the gap allowed before it on.
        computeFrom = rc == SQLITE_DONE ? toMs
                      : marked ? std::max(fromMs, QuarterStart(through - DefaultMaxGapMs, zone_))
                               : fromMs;
        Statement rows;
        if (sqlite3_prepare_v2(db_,
                               "SELECT start_ms, end_ms, import_wh, export_wh FROM quarters "
                               "WHERE device = ?1 AND start_ms >= ?2 AND start_ms < ?3 "
                               "ORDER BY start_ms",
                               -1, &rows.s, nullptr) != SQLITE_OK) {
            Fail(sqlite3_extended_errcode(db_), "prepare");
            return std::nullopt;
        }
        sqlite3_bind_int(rows.s, 1, *device);
        sqlite3_bind_int64(rows.s, 2, fromMs);
        sqlite3_bind_int64(rows.s, 3, computeFrom);
        int step;
        while ((step = sqlite3_step(rows.s)) == SQLITE_ROW) {
            QuarterEnergy q;
            q.start = sqlite3_column_int64(rows.s, 0);
            q.end = sqlite3_column_int64(rows.s, 1);
            if (sqlite3_column_type(rows.s, 2) != SQLITE_NULL)
                q.importWh = sqlite3_column_double(rows.s, 2);
            if (sqlite3_column_type(rows.s, 3) != SQLITE_NULL)
                q.exportWh = sqlite3_column_double(rows.s, 3);
            result.push_back(q);
        }
        if (step != SQLITE_DONE) {
            Fail(sqlite3_extended_errcode(db_), "read");
            return std::nullopt;
        }
    }
    if (computeFrom < toMs) {
        std::vector<DeviceQuarter> computed;
        if (!ComputeQuarters(*device, computeFrom, toMs, computed))
            return std::nullopt;
        for (const DeviceQuarter& q : computed)
            result.push_back(q.quarter);
    }
    return result;
}

bool HistoryStore::ForEachCounter(
    const QString& serial, qint64 fromMs, qint64 toMs,
    const std::function<void(qint64, std::optional<double>, std::optional<double>)>& visit) {
    if (!db_)
        return Fail(SQLITE_CANTOPEN, "read");
    const std::optional<int> device = FindDevice(serial);
    if (!device)
        return true;
    const QByteArray sql = QByteArray("SELECT time_ms, status, present, ") +
                           ReadingsFieldNames[ImportHigh] + ", " + ReadingsFieldNames[ImportLow] +
                           ", " + ReadingsFieldNames[ExportHigh] + ", " +
                           ReadingsFieldNames[ExportLow] +
                           " FROM readings WHERE time_ms >= ?1 AND time_ms < ?2 AND device = ?3 "
                           "ORDER BY time_ms";
    Statement query;
    if (sqlite3_prepare_v2(db_, sql.constData(), -1, &query.s, nullptr) != SQLITE_OK)
        return Fail(sqlite3_extended_errcode(db_), "prepare");
    sqlite3_bind_int64(query.s, 1, fromMs);
    sqlite3_bind_int64(query.s, 2, toMs);
    sqlite3_bind_int(query.s, 3, *device);
    int rc;
    while ((rc = sqlite3_step(query.s)) == SQLITE_ROW) {
        const bool usable = sqlite3_column_int(query.s, 1) == ReadingsRow::Received;
        const auto present = unsigned(sqlite3_column_int(query.s, 2));
        visit(sqlite3_column_int64(query.s, 0),
              CounterOf(usable, present, ImportHigh, ImportLow, ColumnOrNan(query.s, 3),
                        ColumnOrNan(query.s, 4)),
              CounterOf(usable, present, ExportHigh, ExportLow, ColumnOrNan(query.s, 5),
                        ColumnOrNan(query.s, 6)));
    }
    return rc == SQLITE_DONE || Fail(sqlite3_extended_errcode(db_), "read");
}
