// The results store: records in an SQLite file (the default, no server) or
// in a PostgreSQL database shared by the stations of a line.  Each record is
// written in one transaction, so a crash leaves the records before it whole
// and no part of it.  A PostgreSQL store keeps what it cannot deliver in a
// local SQLite spool; syncSpool() uploads it later, once per record id.
// Schema and URL forms: docs/records.md.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "results/record.h"

namespace results {

namespace db {
class Connection;
}

// The store cannot be opened, read or written.  what() is a complete
// message for the user.
struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr int kSchemaVersion = 1;

enum class StoreKind { Sqlite, Postgres };

struct StoreUrl {
    StoreKind kind = StoreKind::Sqlite;
    std::string path;      // Sqlite: the file
    std::string conninfo;  // Postgres: the URL as given, for libpq
    std::string display;   // the URL with any password replaced by "***"
};

// Accepted forms:
//   PATH, sqlite:PATH, sqlite:///ABSOLUTE/PATH          an SQLite file
//   postgresql://..., postgres://...                    a PostgreSQL database
// The PostgreSQL form is checked by libpq's own parser.  Anything else
// that has a "scheme://" is refused, as is an empty path.  Throws
// InvalidInput.
StoreUrl parseStoreUrl(const std::string &url);

struct OpenOptions {
    // Report-only use: refuse a missing SQLite file instead of creating it.
    bool mustExist = false;
    // PostgreSQL stores: the SQLite file that keeps records while the server
    // cannot be reached.  Required for writing to PostgreSQL.
    std::string spoolPath;
    // Test seam: called inside a record's transaction just before COMMIT.
    std::function<void(const Record &)> beforeCommit;
};

struct WriteOutcome {
    bool spooled = false;  // true: kept in the spool, not (yet) on the server
    std::string where;     // display URL or spool path it went to
    std::string reason;    // why it was spooled
};

// Which records: every set field must match; days are UTC "YYYY-MM-DD",
// both ends included.
struct RecordFilter {
    std::string plan;
    std::string serial;
    std::string station;
    std::string since;
    std::string until;
    size_t limit = 0;  // find(): at most this many, newest first; 0: all
    // Start time bounds as UTC times "YYYY-MM-DDTHH:MM:SS.mmmZ": from
    // included, before excluded (days of another time zone).
    std::string startedFrom = {};
    std::string startedBefore = {};
};

struct RecordSummary {
    std::string id, serial, station, operatorName, planName, startedAt, endedAt;
    Verdict verdict = Verdict::Error;
};

struct SyncResult {
    size_t uploaded = 0;        // newly written to the server
    size_t alreadyThere = 0;    // the server had them (an earlier, interrupted sync)
    size_t pending = 0;         // still in the spool afterwards
    std::vector<std::string> errors;  // one line per record or problem
};

// One store.  Its methods lock an internal mutex, so the units of a
// parallel run may share one Store; separate Store objects on one SQLite
// file (threads or processes) also work, SQLite's lock orders them.
class Store {
  public:
    // Throws InvalidInput (bad URL) or StoreError (SQLite file cannot be
    // opened or is not a results store, its schema is newer than ours).
    // A PostgreSQL server is not contacted here: writes reach it or go to
    // the spool; reads and syncSpool() need it.
    static std::unique_ptr<Store> open(const std::string &url, const OpenOptions &opts = {});
    ~Store();

    const StoreUrl &url() const { return url_; }

    // Checks the record (validateRecord: InvalidInput, nothing written) and
    // writes it in one transaction.  The same record again is a no-op; a
    // different record with the same id is a StoreError.  PostgreSQL: on any
    // failure the record goes to the spool instead (spooled = true); throws
    // StoreError only if that fails too.
    WriteOutcome write(const Record &r);

    // The record with this id, as written.
    std::optional<Record> load(const std::string &id);
    // Summaries of the matching records, newest first.
    std::vector<RecordSummary> find(const RecordFilter &f);

    // PostgreSQL stores: uploads every record waiting in the spool, oldest
    // first, each in one server transaction, then marks it uploaded in the
    // spool.  Safe to repeat or interrupt: a record the server already has
    // (same id and content) is only marked.  Stops at the first connection
    // failure; the rest stays pending.  Throws StoreError when the server
    // cannot be reached at all.
    SyncResult syncSpool();
    // Records waiting in the spool (PostgreSQL) or in this SQLite file.
    size_t pendingCount();

    // For the report code: the open connection (connects to PostgreSQL if
    // needed; StoreError when it cannot).  Callers hold lock().
    db::Connection &connection();
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mu_); }

  private:
    Store(StoreUrl url, OpenOptions opts);
    void connect();
    void writeSpooled(const Record &r, const std::string &reason);

    StoreUrl url_;
    OpenOptions opts_;
    std::unique_ptr<db::Connection> conn_;
    std::unique_ptr<Store> spool_;
    std::mutex mu_;
};

}  // namespace results
