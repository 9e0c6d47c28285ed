#include "history/HistoryStore.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
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

// The status of a received reading that cannot be true (Reading::implausible); 1 and 2 are
// ReadingsRow's Failed and Received.
constexpr int ImplausibleStatus = 3;

// Steps from one schema version to the next; entry v turns version v into v + 1.
const char* const Migrations[] = {nullptr};

struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

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
    const int version = UserVersion();
    bool ok = version >= 0 && (version <= SchemaVersion || RefuseTooNew());
    ok = ok && (readOnly || (UseWal() && Exec("PRAGMA synchronous=NORMAL")));
    if (!ok || !Migrate(version)) {
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
        ok = Exec(CreateSchema().constData());
        v = SchemaVersion;
    }
    for (; ok && v < SchemaVersion; ++v)
        ok = Exec(Migrations[v]);
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
    devices_.clear();
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
    sqlite3_bind_text(find.s, 1, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
    if (sqlite3_step(find.s) != SQLITE_ROW) {
        Fail(sqlite3_extended_errcode(db_), "find a device");
        return -1;
    }
    const int id = sqlite3_column_int(find.s, 0);
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
    for (const Reading& reading : readings) {
        const int device = DeviceId(reading.serial);
        const ReadingsRow& row = reading.row;
        if (device < 0) {
            ok = false;
            break;
        }
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
    if (ok && Exec("COMMIT"))
        return true;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // A device added in the rolled-back transaction is gone again.
    devices_.clear();
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
