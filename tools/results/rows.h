// Inside the results library: the schema, and records mapped to rows and
// back.  Times are TEXT in SQLite and TIMESTAMPTZ in PostgreSQL; the SQL
// pieces here give both back in the same text form.
#pragma once

#include <optional>
#include <string>

#include "results/db.h"
#include "results/store.h"

namespace results {

// ---- schema and migrations (schema.cpp) ------------------------------------

// Makes an opened SQLite file a results store, or refuses it.  What the
// file is gets checked first, by reading only: a file that is not a
// database, or a database of another program, is refused (StoreError) and
// left byte for byte as it was.  Only then is the journal switched to WAL
// and, in an empty file and when mayCreate, the schema created, both
// waiting like every write (several stations may open a new file at the
// same moment).  where names the store in messages.
void prepareSqlite(db::Connection &c, const std::string &where, bool mayCreate);
// The same for a PostgreSQL database (always created when empty).
void preparePostgres(db::Connection &c, const std::string &where);

// ---- rows (rows.cpp) ---------------------------------------------------------

namespace sql {
// col as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string timeText(db::Dialect d, const std::string &col);
// The UTC day of col as "YYYY-MM-DD".
std::string dayText(db::Dialect d, const std::string &col);
// " WHERE ..." (or "") for the filter on the records table under alias r;
// appends its parameters to params, numbered after those already there.
std::string recordWhere(db::Dialect d, const RecordFilter &f, db::Params *params);
// " ON ..." joining records r to a row of a record's table under alias
// (PostgreSQL: on the partition key too).
std::string sameRecord(db::Dialect d, const std::string &alias);
}  // namespace sql

// Writes the record's rows.  Returns true when it was new; false when the
// store already had it with the same content (compared by digest, the
// stored row's own version of it included).  Throws StoreError when the
// store has other content under its id.
bool insertRecord(db::Connection &c, const Record &r);
std::optional<Record> loadRecord(db::Connection &c, const std::string &id);
// The layout of a row per step, exchange, measurement and series value:
// SQLite's, and PostgreSQL's before version 3 (read when migrating).
std::optional<Record> loadRecordRows(db::Connection &c, const std::string &id);
bool insertRecordRows(db::Connection &c, const Record &r, const std::string &digest);
// That layout's tables as versions 1 (without series) and 2 made them, in
// the dialect's types (for SQLite stores, and tests of a migration).
std::string rowsSchema(db::Dialect d, int version);

// PostgreSQL's compact layout (rows_pg.cpp).  insertRecordPg: true when
// the record went in, false when a record of that id was there already.
bool insertRecordPg(db::Connection &c, const Record &r, const std::string &digest);
std::optional<Record> loadRecordPg(db::Connection &c, const std::string &id);
// A step's exchanges as bytes: a version byte, then per exchange its
// fields, numbers as base-128 varints and the reply's sender only where
// it changes.  unpackExchanges: false for bytes that are not such.
std::string packExchanges(const std::vector<Exchange> &xs);
bool unpackExchanges(const std::string &bytes, std::vector<Exchange> *out);
// PostgreSQL, version 2 -> 3, inside the caller's transaction: the old
// tables move aside, schema3 is made, every record is copied with the
// digest it was stored with, and the old tables go.
void migratePostgresRecords(db::Connection &c, const char *schema3);
// Makes the partitions of the month of utcTime (PostgreSQL).
void ensureMonth(db::Connection &c, const std::string &utcTime);
Verdict verdictAt(const db::Row &row, int col);
// A step from columns col.. of a row: line, command, args, started_at (as
// timeText), duration_s, verdict, error.
Step stepAtRow(const db::Row &row, int col);
// A record without its steps and metadata from columns 0..8: id, serial,
// station, operator, plan, plan_sha256, started_at and ended_at (as
// timeText), verdict.
void recordHeadAtRow(const db::Row &row, Record *r);
// A record's summary from columns col..: id, serial, station, operator,
// plan, started_at and ended_at (as timeText), verdict.
RecordSummary summaryAtRow(const db::Row &row, int col);

// path made absolute through its directory (the file may not exist yet).
std::string absolutePath(const std::string &path);

}  // namespace results
