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

// Version 3, SQLite: the indexes a report's time, station and plan
// filters use, the golden checks kept on write (the lock-out reads the
// newest of a port by one index), and the views every report reads
// measurements and series through (PostgreSQL has the same views over
// its own layout).
const char kSqliteV3[] = R"(
CREATE INDEX IF NOT EXISTS records_by_time ON records (started_at);
CREATE INDEX IF NOT EXISTS records_by_station ON records (station, started_at);
CREATE TABLE IF NOT EXISTS golden_checks (
  seq        INTEGER PRIMARY KEY,
  station    TEXT NOT NULL,
  port       TEXT NOT NULL,
  record_id  TEXT NOT NULL,
  serial     TEXT NOT NULL,
  started_at TEXT NOT NULL,
  stored_at  TEXT NOT NULL,
  verdict    TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS golden_checks_by_port ON golden_checks (station, port, seq);
CREATE VIEW IF NOT EXISTS measurement_rows AS
  SELECT m.record_id, m.step_index, m.measurement_index, st.line, st.command, m.name, m.value, m.low, m.high,
         m.verdict
  FROM measurements m JOIN steps st ON st.record_id = m.record_id AND st.step_index = m.step_index;
CREATE VIEW IF NOT EXISTS series_points AS
  SELECT v.record_id, v.step_index, st.line, st.command, sc.series, v.row_index, sc.name AS column_name, v.value
  FROM series_values v
  JOIN series_columns sc ON sc.record_id = v.record_id AND sc.step_index = v.step_index
   AND sc.series_index = v.series_index AND sc.column_index = v.column_index
  JOIN steps st ON st.record_id = v.record_id AND st.step_index = v.step_index;
CREATE TABLE IF NOT EXISTS archives (
  file        TEXT NOT NULL,
  before      TEXT NOT NULL,
  records     INTEGER NOT NULL,
  archived_at TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS bus_outbox (
  seq        INTEGER PRIMARY KEY,
  message_id TEXT NOT NULL UNIQUE,
  station    TEXT NOT NULL,
  record_id  TEXT NOT NULL,
  name       TEXT NOT NULL,
  body       TEXT NOT NULL,
  queued_at  TEXT NOT NULL,
  attempts   INTEGER NOT NULL DEFAULT 0,
  last_error TEXT
);
CREATE INDEX IF NOT EXISTS bus_outbox_by_station ON bus_outbox (station, seq);
)";

// Version 3, PostgreSQL: a record in a few kilobytes.  Records and their
// rows are partitioned by the month the record started (rows carry it as
// record_started), so that retention drops whole months; a step is one
// row with its measurements as arrays (their names, the same for most
// units, kept once in measurement_names) and its exchanges packed (rows.h);
// a series is one row with its values row after row.  Partitions are
// made by rfprobe_month() before the first record of a month is written.
const char kPgSchema3[] = R"(
CREATE TABLE records (
  record_id   uuid NOT NULL,
  started_at  timestamptz NOT NULL,
  ended_at    timestamptz NOT NULL,
  serial      text NOT NULL,
  station     text NOT NULL,
  operator    text NOT NULL,
  plan_name   text NOT NULL,
  plan_sha256 text NOT NULL,
  verdict     text NOT NULL CHECK (verdict IN ('PASS', 'FAIL', 'ERROR')),
  digest      text NOT NULL,
  PRIMARY KEY (record_id, started_at)
) PARTITION BY RANGE (started_at);
CREATE INDEX records_by_time ON records (started_at);
CREATE INDEX records_by_station ON records (station, started_at);
CREATE INDEX records_by_plan ON records (plan_name, started_at);
CREATE INDEX records_by_serial ON records (serial, started_at);
CREATE TABLE record_metadata (
  record_id      uuid NOT NULL,
  record_started timestamptz NOT NULL,
  key            text NOT NULL,
  value          text NOT NULL,
  PRIMARY KEY (record_started, record_id, key)
) PARTITION BY RANGE (record_started);
CREATE TABLE steps (
  record_id      uuid NOT NULL,
  record_started timestamptz NOT NULL,
  step_index     smallint NOT NULL,
  line           integer NOT NULL,
  command        text NOT NULL,
  args           text NOT NULL,
  started_at     timestamptz NOT NULL,
  duration_s     double precision NOT NULL,
  verdict        text NOT NULL CHECK (verdict IN ('PASS', 'FAIL', 'ERROR')),
  error          text,
  exchanges      bytea COMPRESSION lz4,
  names_id       bigint,
  m_values       double precision[] COMPRESSION lz4,
  m_lows         double precision[] COMPRESSION lz4,
  m_highs        double precision[] COMPRESSION lz4,
  m_failed       boolean[],
  PRIMARY KEY (record_started, record_id, step_index)
) PARTITION BY RANGE (record_started);
CREATE TABLE measurement_names (
  names_id bigint PRIMARY KEY,
  names    text[] NOT NULL
);
CREATE TABLE series (
  record_id      uuid NOT NULL,
  record_started timestamptz NOT NULL,
  step_index     smallint NOT NULL,
  series_index   smallint NOT NULL,
  name           text NOT NULL,
  col_names      text[] NOT NULL,
  col_units      text[] NOT NULL,
  vals           double precision[] COMPRESSION lz4 NOT NULL,
  PRIMARY KEY (record_started, record_id, step_index, series_index)
) PARTITION BY RANGE (record_started);
CREATE TABLE golden_checks (
  seq        bigserial PRIMARY KEY,
  station    text NOT NULL,
  port       text NOT NULL,
  record_id  uuid NOT NULL,
  serial     text NOT NULL,
  started_at timestamptz NOT NULL,
  stored_at  timestamptz NOT NULL DEFAULT now(),
  verdict    text NOT NULL
);
CREATE INDEX golden_checks_by_port ON golden_checks (station, port, seq);
CREATE TABLE archives (
  file        text NOT NULL,
  before      timestamptz NOT NULL,
  records     bigint NOT NULL,
  archived_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE bus_outbox (
  seq        bigserial PRIMARY KEY,
  message_id text NOT NULL UNIQUE,
  station    text NOT NULL,
  record_id  text NOT NULL,
  name       text NOT NULL,
  body       text NOT NULL,
  queued_at  text NOT NULL,
  attempts   integer NOT NULL DEFAULT 0,
  last_error text
);
CREATE INDEX bus_outbox_by_station ON bus_outbox (station, seq);
CREATE VIEW measurement_rows AS
  SELECT st.record_id, st.record_started, st.step_index, (m.i - 1)::integer AS measurement_index, st.line,
         st.command, m.name, m.value, m.low, m.high, CASE WHEN m.failed THEN 'FAIL' ELSE 'PASS' END AS verdict
  FROM steps st JOIN measurement_names mn ON mn.names_id = st.names_id
  CROSS JOIN LATERAL unnest(mn.names, st.m_values, st.m_lows, st.m_highs, st.m_failed)
    WITH ORDINALITY AS m(name, value, low, high, failed, i);
CREATE VIEW series_points AS
  SELECT s.record_id, s.record_started, s.step_index, st.line, st.command, s.name AS series,
         ((v.i - 1) / cardinality(s.col_names))::integer AS row_index,
         s.col_names[((v.i - 1) % cardinality(s.col_names)) + 1] AS column_name, v.value
  FROM series s
  JOIN steps st ON st.record_started = s.record_started AND st.record_id = s.record_id
   AND st.step_index = s.step_index
  CROSS JOIN LATERAL unnest(s.vals) WITH ORDINALITY AS v(value, i);
-- The partitions of the month of t, made once (the first station to need
-- them makes them, under a lock; the others find them).
CREATE FUNCTION rfprobe_month(t timestamptz) RETURNS void LANGUAGE plpgsql AS $f$
DECLARE
  m date := date_trunc('month', t AT TIME ZONE 'UTC')::date;
  suffix text := to_char(m, '"_y"YYYY"m"MM');
  tab text;
BEGIN
  IF to_regclass('series' || suffix) IS NOT NULL THEN RETURN; END IF;
  PERFORM pg_advisory_xact_lock(1061);
  FOREACH tab IN ARRAY ARRAY['records', 'record_metadata', 'steps', 'series'] LOOP
    IF to_regclass(tab || suffix) IS NULL THEN
      EXECUTE format('CREATE TABLE %I PARTITION OF %I FOR VALUES FROM (%L) TO (%L) WITH (toast_tuple_target = 256)',
                     tab || suffix, tab, m::text || ' 00:00:00+00', (m + interval '1 month')::date::text || ' 00:00:00+00');
    END IF;
  END LOOP;
END
$f$;
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

}  // namespace

std::string rowsSchema(Dialect d, int version) {
    return typed(d, version < 2 ? std::string(kSchema) : std::string(kSchema) + kSeriesSchema);
}

namespace {

// The newest schema, for a store made now.
std::string schemaFor(Dialect d) {
    if (d == Dialect::Postgres) return kPgSchema3;
    return typed(d, std::string(kSchema) + kSeriesSchema) + kSpoolSchema + kSqliteV3;
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

// The golden checks of the records already there, oldest first (SQLite,
// version 2 -> 3).
const char kFillGoldenChecks[] = R"(
INSERT INTO golden_checks (station, port, record_id, serial, started_at, stored_at, verdict)
SELECT r.station, p.value, r.record_id, r.serial, r.started_at, r.started_at, r.verdict FROM records r
JOIN record_metadata k ON k.record_id = r.record_id AND k.key = 'kind' AND k.value = 'golden'
JOIN record_metadata p ON p.record_id = r.record_id AND p.key = 'fixture_port'
ORDER BY r.started_at, r.record_id
)";

// Brings a store of an older version to ours, inside the caller's
// transaction.  Version 1 -> 2: the series tables.  Version 2 -> 3:
// SQLite gains indexes, golden_checks and views (its records stay as
// they are); PostgreSQL's records move to the compact layout, one by one
// (migratePostgresRecords).
void migrate(Connection &c, int64_t version) {
    bool pg = c.dialect() == Dialect::Postgres;
    if (version < 2 && !tableExists(c, "series_columns")) c.exec(typed(c.dialect(), kSeriesSchema));
    if (version < 3 && !pg) {
        c.exec(kSqliteV3);
        c.exec(kFillGoldenChecks);
    }
    if (version < 3 && pg) migratePostgresRecords(c, kPgSchema3);
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
            c.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)");
            c.exec(schemaFor(Dialect::Postgres));
            c.run("INSERT INTO schema_version (version) VALUES ($1)", {kSchemaVersion});
        }
        migrate(c, checkVersion(c, where));
    });
}

}  // namespace results
