// The schema of a results store: what a file is before anything changes
// it, creating the tables, and the additive changes since the first layout.
#include <string>

#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Row;

namespace {

// One text for both databases; {INT}, {REAL} and {TIME} become the
// dialect's types.  docs/records.md shows it.
const char kSchema[] = R"(
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE records (
  record_id   TEXT PRIMARY KEY,
  serial      TEXT NOT NULL,
  station     TEXT NOT NULL,
  operator    TEXT NOT NULL,
  plan_name   TEXT NOT NULL,
  plan_sha256 TEXT NOT NULL,
  started_at  {TIME} NOT NULL,
  ended_at    {TIME} NOT NULL,
  verdict     TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL', 'ERROR')),
  digest      TEXT NOT NULL
);
CREATE INDEX records_by_serial ON records (serial, started_at);
CREATE INDEX records_by_plan ON records (plan_name, started_at);
CREATE TABLE record_metadata (
  record_id TEXT NOT NULL REFERENCES records (record_id) ON DELETE CASCADE,
  key       TEXT NOT NULL,
  value     TEXT NOT NULL,
  PRIMARY KEY (record_id, key)
);
CREATE TABLE steps (
  record_id  TEXT NOT NULL REFERENCES records (record_id) ON DELETE CASCADE,
  step_index {INT} NOT NULL,
  line       {INT} NOT NULL,
  command    TEXT NOT NULL,
  args       TEXT NOT NULL,
  started_at {TIME} NOT NULL,
  duration_s {REAL} NOT NULL,
  verdict    TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL', 'ERROR')),
  error      TEXT,
  PRIMARY KEY (record_id, step_index)
);
CREATE TABLE exchanges (
  record_id      TEXT NOT NULL,
  step_index     {INT} NOT NULL,
  exchange_index {INT} NOT NULL,
  attempts       {INT} NOT NULL,
  req_code {INT} NOT NULL, req_byte {INT} NOT NULL, req_value1 {INT} NOT NULL,
  req_value2 {INT} NOT NULL, req_value3 {INT} NOT NULL, req_chain {INT} NOT NULL,
  reply_code {INT}, reply_byte {INT}, reply_value1 {INT}, reply_value2 {INT},
  reply_value3 {INT}, reply_half {INT}, reply_from TEXT,
  PRIMARY KEY (record_id, step_index, exchange_index),
  FOREIGN KEY (record_id, step_index) REFERENCES steps (record_id, step_index) ON DELETE CASCADE
);
CREATE TABLE measurements (
  record_id         TEXT NOT NULL,
  step_index        {INT} NOT NULL,
  measurement_index {INT} NOT NULL,
  name    TEXT NOT NULL,
  value   {REAL} NOT NULL,
  low     {REAL},
  high    {REAL},
  verdict TEXT NOT NULL CHECK (verdict IN ('PASS', 'FAIL')),
  PRIMARY KEY (record_id, step_index, measurement_index),
  FOREIGN KEY (record_id, step_index) REFERENCES steps (record_id, step_index) ON DELETE CASCADE
);
)";

// Version 2: a step's series, its columns and every value (one row per
// value).  Created with a new store, and added to a store of version 1
// when it is opened (migrate).
const char kSeriesSchema[] = R"(
CREATE TABLE series_columns (
  record_id    TEXT NOT NULL,
  step_index   {INT} NOT NULL,
  series_index {INT} NOT NULL,
  column_index {INT} NOT NULL,
  series       TEXT NOT NULL,
  name         TEXT NOT NULL,
  unit         TEXT NOT NULL,
  PRIMARY KEY (record_id, step_index, series_index, column_index),
  FOREIGN KEY (record_id, step_index) REFERENCES steps (record_id, step_index) ON DELETE CASCADE
);
CREATE TABLE series_values (
  record_id    TEXT NOT NULL,
  step_index   {INT} NOT NULL,
  series_index {INT} NOT NULL,
  row_index    {INT} NOT NULL,
  column_index {INT} NOT NULL,
  value        {REAL} NOT NULL,
  PRIMARY KEY (record_id, step_index, series_index, row_index, column_index),
  FOREIGN KEY (record_id, step_index, series_index, column_index)
    REFERENCES series_columns (record_id, step_index, series_index, column_index) ON DELETE CASCADE
);
)";

// SQLite only: the outbox, records waiting for their store (target:
// "postgresql", or the absolute path of an SQLite store).
const char kSpoolSchema[] = R"(
CREATE TABLE spool (
  record_id   TEXT PRIMARY KEY REFERENCES records (record_id) ON DELETE CASCADE,
  spooled_at  TEXT NOT NULL,
  reason      TEXT NOT NULL,
  uploaded_at TEXT,
  target      TEXT
);
)";

// text with {INT}, {REAL} and {TIME} as the dialect's types.
std::string typed(Dialect d, std::string s) {
    auto sub = [&s](const std::string &from, const std::string &to) {
        for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
            s.replace(p, from.size(), to);
    };
    bool pg = d == Dialect::Postgres;
    sub("{INT}", pg ? "BIGINT" : "INTEGER");
    sub("{REAL}", pg ? "DOUBLE PRECISION" : "REAL");
    sub("{TIME}", pg ? "TIMESTAMPTZ" : "TEXT");
    return s;
}

// The newest schema, for a store made now.
std::string schemaFor(Dialect d) {
    std::string s = typed(d, std::string(kSchema) + kSeriesSchema);
    if (d == Dialect::Sqlite) s += kSpoolSchema;
    return s;
}

bool tableExists(Connection &c, const std::string &name) {
    bool found = false;
    const char *q = c.dialect() == Dialect::Sqlite
                        ? "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1"
                        : "SELECT 1 FROM information_schema.tables"
                          " WHERE table_schema = current_schema() AND table_name = $1";
    c.query(q, {name}, [&](const Row &) { found = true; });
    return found;
}

bool columnExists(Connection &c, const std::string &table, const std::string &column) {
    bool found = false;
    c.query("SELECT 1 FROM pragma_table_info($1) WHERE name = $2", {table, column},
            [&](const Row &) { found = true; });
    return found;
}

enum class Kind { Ours, Empty, Foreign };

// By reading only.
Kind inspect(Connection &c) {
    Kind k = Kind::Empty;
    c.query("SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'", {}, [&](const Row &r) {
        if (r.text(0) == "schema_version") k = Kind::Ours;
        else if (k == Kind::Empty) k = Kind::Foreign;
    });
    return k;
}

// The store's schema version; refuses one newer than ours or none.
int64_t checkVersion(Connection &c, const std::string &where) {
    int64_t version = -1;
    c.query("SELECT max(version) FROM schema_version", {}, [&](const Row &r) {
        if (!r.isNull(0)) version = r.integer(0);
    });
    if (version > kSchemaVersion)
        throw StoreError(where + " has schema version " + std::to_string(version) +
                         ", newer than this rfprobe knows (" + std::to_string(kSchemaVersion) +
                         "): use a newer rfprobe");
    if (version < 1) throw StoreError(where + ": its schema_version table is empty or broken");
    return version;
}

// Brings a store of an older version to ours, inside the caller's
// transaction: every change is additive, so its records stay as they are.
// Version 1 -> 2: the series tables.
void migrate(Connection &c, int64_t version) {
    if (version < 2 && !tableExists(c, "series_columns")) c.exec(typed(c.dialect(), kSeriesSchema));
    if (version < kSchemaVersion) c.run("UPDATE schema_version SET version = $1", {kSchemaVersion});
}

// The outbox's rows name the store they wait for (the column came after
// the first layout; rows without it wait for a PostgreSQL store).  Older
// rfprobe versions ignore the column.
void migrateSpool(Connection &c) {
    if (tableExists(c, "spool") && !columnExists(c, "spool", "target"))
        c.exec("ALTER TABLE spool ADD COLUMN target TEXT");
}

}  // namespace

void prepareSqlite(Connection &c, const std::string &where, bool mayCreate) {
    Kind kind = Kind::Empty;
    try {
        db::retryBusy([&] { kind = inspect(c); });
    } catch (const db::Error &e) {
        if (e.notDatabase) throw StoreError(where + " is not an SQLite database (not a results store)");
        throw;
    }
    if (kind == Kind::Foreign) throw StoreError(where + " is an SQLite database but not an rfprobe results store");
    if (kind == Kind::Empty && !mayCreate) throw StoreError(where + " holds no results yet (not a results store)");
    if (kind == Kind::Empty) {
        // Write-ahead log with a sync at every commit: a committed record
        // survives a crash or a power cut, an uncommitted one is not there.
        // The switch needs the file to itself and may return busy at once
        // while another station opens the same new file.
        db::retryBusy([&] {
            std::string mode;
            c.query("PRAGMA journal_mode=WAL", {}, [&](const Row &r) { mode = r.text(0); });
            if (mode != "wal") throw db::Error(where + ": journal mode is still " + mode, false, true);
        });
    }
    c.exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
    db::retryBusy([&] {
        // A report only reads: it takes the write lock only where the
        // store needs migrating.
        if (kind == Kind::Ours && !mayCreate && checkVersion(c, where) == kSchemaVersion) return;
        db::transaction(c, [&] {
            if (!tableExists(c, "schema_version")) {
                if (inspect(c) == Kind::Foreign)
                    throw StoreError(where + " is an SQLite database but not an rfprobe results store");
                c.exec(schemaFor(Dialect::Sqlite));
                c.run("INSERT INTO schema_version (version) VALUES ($1)", {kSchemaVersion});
            }
            migrate(c, checkVersion(c, where));
            migrateSpool(c);
        });
    });
}

void preparePostgres(Connection &c, const std::string &where) {
    // Reading only, under no lock: a line of stations that start at once
    // must not queue behind one another (or behind a session that holds a
    // lock) to learn that the schema is there.
    bool there = false;
    int64_t version = 0;
    db::transaction(c, [&] {
        c.query("SELECT to_regclass('schema_version') IS NOT NULL", {},
                [&](const Row &r) { there = r.text(0) == "t"; });
        if (there) version = checkVersion(c, where);
    });
    if (there && version == kSchemaVersion) return;
    db::transaction(c, [&] {
        // Stations of a line may create a new database at the same moment:
        // the first creates it, the others wait here and find it.  The lock
        // ends with the transaction (a pooler may give the next one another
        // server session).
        c.exec("SELECT pg_advisory_xact_lock(1060)");
        // The same lock orders the stations that find an older schema:
        // the first migrates it, the others find it done.
        if (!tableExists(c, "schema_version")) {
            c.exec(schemaFor(Dialect::Postgres));
            c.run("INSERT INTO schema_version (version) VALUES ($1)", {kSchemaVersion});
        }
        migrate(c, checkVersion(c, where));
    });
}

}  // namespace results
