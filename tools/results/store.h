// The results store: records in an SQLite file (the default, no server) or
// in a PostgreSQL database shared by the stations of a line.  Each record is
// written in one transaction, so a crash leaves the records before it whole
// and no part of it.  A record that the store cannot take (a server that
// cannot be reached, a full disk, a lock held too long) goes to the outbox,
// a local SQLite spool file; sync() moves it into the store later, once.
// Schema and URL forms: docs/records.md.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "results/aggregates.h"
#include "results/record.h"

namespace results {

namespace db {
class Connection;
}
struct ArchiveTally;

// The store cannot be opened, read or written.  what() is a complete
// message for the user.
struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr int kSchemaVersion = 3;  // 2: steps' series; 3: the compact, partitioned PostgreSQL layout

// The metadata of a golden check's record: kind = golden, and the tester
// port it checked.  The store keeps these records' order per station and
// port as they arrive (Store::lastGoldenCheck).
constexpr const char *kRecordKindKey = "kind";
constexpr const char *kGoldenKind = "golden";
constexpr const char *kFixturePortKey = "fixture_port";

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
    // The outbox: the SQLite file that keeps records the store cannot take.
    // Required for writing; it must not be the store itself.
    std::string spoolPath;
    // PostgreSQL: how long to wait for the server (tests shorten them),
    // and the server's limits for each transaction (db::PgLimits).  A
    // writer's are short: a record takes milliseconds, and one that cannot
    // get its locks within lockMs goes to the outbox.  A report gives its
    // queries longer (rfprobe report --statement-timeout).
    int connectSeconds = 5;
    int answerMs = 15000;
    int statementMs = 5000;
    int lockMs = 2000;
    int idleInTransactionMs = 5000;
    // A report's store: once the schema is checked (and made or migrated
    // where it must be), every PostgreSQL transaction is read-only.
    bool readOnly = false;
    // SQLite: false turns off the flush to disk after each record, for a
    // throwaway store (a benchmark's); a crash may then lose records.
    bool flushToDisk = true;
    // Test seam: called inside a record's transaction just before COMMIT.
    std::function<void(const Record &)> beforeCommit;
};

struct WriteOutcome {
    bool spooled = false;  // true: kept in the outbox, not (yet) in the store
    std::string where;     // display URL or spool path it went to
    std::string reason;    // why it was spooled
};

// Which records: every set field must match; since and until are UTC days
// "YYYY-MM-DD", both ends included (the report's days of another zone are
// startedFrom and startedBefore).
struct RecordFilter {
    std::string plan;
    std::string serial;
    std::string station;
    std::string since;
    std::string until;
    // Start time bounds as UTC times "YYYY-MM-DDTHH:MM:SS.mmmZ": from
    // included, before excluded (days of another time zone).
    std::string startedFrom = {};
    std::string startedBefore = {};
};

struct SyncResult {
    size_t uploaded = 0;        // newly written to the store
    size_t alreadyThere = 0;    // the store had them (an earlier, interrupted sync)
    size_t pending = 0;         // still in the outbox afterwards
    std::vector<std::string> errors;  // one line per record or problem
};

// ---- what the reports read ---------------------------------------------------

// Records of one plan started on one UTC day.  yield = pass / records: a
// unit tested twice counts twice (units counts distinct serials).
struct YieldRow {
    std::string plan, day;
    int64_t records = 0, units = 0, pass = 0, fail = 0, error = 0;
    double yield() const { return records ? (double)pass / (double)records : 0; }
};

// A plan step (by plan line and command) that ended FAIL or ERROR at least
// once; runs counts every time it ran.
struct FailureRow {
    std::string plan;
    int line = 0;
    std::string command;
    int64_t fail = 0, error = 0, runs = 0;
};

// The values one measurement of one plan step took.  The median of an even
// count is the mean of the middle two.
struct StatRow {
    std::string plan;
    int line = 0;
    std::string command, measurement;
    int64_t count = 0;
    double min = 0, median = 0, max = 0;
};

// One measurement of a step of a record; a step without measurements and a
// record without steps have a row too, with those parts empty.
struct ExportRow {
    RecordSummary record;
    std::string planSha256;
    std::optional<int64_t> stepIndex, line;
    std::string command, args, stepVerdict, error;
    std::optional<double> durationS;
    std::string measurement, measurementVerdict;
    std::optional<double> value, low, high;
};

// The rows behind the HTML report's figures, as stored; each names its
// record by id.  A step row only for a step that did not pass.
struct MetadataEntry {
    std::string recordId, key, value;
};

struct FailedStep {
    std::string recordId;
    int64_t stepIndex = 0;
    int line = 0;
    std::string command;
    Verdict verdict = Verdict::Fail;  // Fail or Error
};

struct MeasurementEntry {
    std::string recordId;
    int64_t stepIndex = 0, index = 0;  // the step's and its own position in the record
    int line = 0;
    std::string command, name;
    double value = 0;
    std::optional<double> low, high;
    bool failed = false;  // the station's verdict on it was FAIL
};

// One value of a step's series (Step::series): its row and column.
struct SeriesValueEntry {
    std::string recordId;
    int64_t stepIndex = 0;
    int line = 0;
    std::string command, series;
    int64_t row = 0;
    std::string column;
    double value = 0;
};

// A step of one of the commands ReportRowReader::stepCommands names, with
// its arguments as stored (space-separated): a pa-cal step's chain.
struct StepArgsEntry {
    std::string recordId;
    int line = 0;
    std::string command, args;
};

// What reportRows() reads: one callback per kind of row; a kind without a
// callback is not read.
struct ReportRowReader {
    std::function<void(const RecordSummary &)> record;
    std::function<void(const MetadataEntry &)> metadata;
    std::function<void(const FailedStep &)> failedStep;
    std::function<void(const MeasurementEntry &)> measurement;
    std::function<void(const StepArgsEntry &)> stepArgs;
    std::vector<std::string> stepCommands;  // whose steps stepArgs and seriesValue read
    std::function<void(const SeriesValueEntry &)> seriesValue;
};

// The newest golden check of a station's tester port: the last such
// record to reach the store (the order they arrived in, which no station
// clock can move), with the store's time of arrival.
struct GoldenCheck {
    std::string recordId, serial, startedAt, storedAt;  // UTC text
    Verdict verdict = Verdict::Error;
};

// ---- archives ------------------------------------------------------------------

// An archive taken from this store (Store::archive): the records started
// before `before` went to `file`.  Times are UTC text.
struct ArchiveInfo {
    std::string file;  // absolute path, as archive() wrote it
    std::string before, archivedAt;
    int64_t records = 0;
};

// For a report over such a range: "records started before 2026-03-01 00:00
// UTC are archived (N records in FILE on DAY): rfprobe restore FILE to
// report on them".
std::string describeArchive(const ArchiveInfo &a);

struct ArchiveResult {
    int64_t records = 0;    // written to the file, checked and deleted
    int64_t fileBytes = 0;  // the archive's size
    int64_t storeBytes = 0; // the store's size afterwards (sizeBytes)
    std::string note;       // SQLite: why the file could not be compacted, if so
};

struct RestoreResult {
    int64_t restored = 0;      // newly written to the store
    int64_t alreadyThere = 0;  // the store had them with the same content
    bool forgotten = false;    // the archive's row in `archives` went (all records back)
};

// A message for the factory's bus, waiting in the bus outbox of the store
// (or of the spool, with its record) until the broker took it.  Its id
// stays the same across retries, so that a consumer can drop a repeat.
struct BusMessage {
    std::string id, station, recordId, name, body;
    std::string queuedAt;  // set when queued
    int64_t seq = 0;       // its order where it waits
    bool inSpool = false;  // it waits in the spool, not in the store
    int attempts = 0;
    std::string lastError;
};

// One store.  Units of a parallel run share one Store.  On SQLite each call
// takes a connection of its own from a small pool (no lock is held while
// the database works), and separate Store objects on one SQLite file
// (threads or processes) also work, SQLite's lock orders them.  On
// PostgreSQL a Store holds one connection at most, only while it is in use
// or wanted, and the calls take turns on it (see withServer).
class Store {
  public:
    // Throws InvalidInput (bad URL) or StoreError (the SQLite file is not a
    // results store and is left as it was, its schema is newer than ours,
    // the outbox is the store itself).  A PostgreSQL server is not
    // contacted here: writes reach it or go to the outbox; reads and sync()
    // need it.  Neither is an SQLite file that cannot be read or written
    // now (a full disk, a lock): its records go to the outbox.
    static std::unique_ptr<Store> open(const std::string &url, const OpenOptions &opts = {});
    ~Store();

    const StoreUrl &url() const { return url_; }

    // Checks the record (validateRecord: InvalidInput, nothing written) and
    // writes it in one transaction.  The same record again is a no-op (its
    // identity is its digest, see recordDigest).  On any failure the record
    // goes to the outbox instead (spooled = true, with the reason); throws
    // StoreError only if that fails too (the caller then shows the record
    // itself, so that it is never lost silently).
    WriteOutcome write(const Record &r);
    // The same, with the bus messages the record gives: they are queued in
    // the same transaction as the record, wherever it goes (store or
    // spool), and only when the record is new there (outbox_bus.cpp).
    WriteOutcome write(const Record &r, const std::vector<BusMessage> &messages);

    // The bus outbox (outbox_bus.cpp): up to limit messages of station
    // ("" every station) in the order they were queued, the store's and
    // the spool's together; a store that cannot be read now adds none (the
    // spool's are still given).  sent() drops what the broker took;
    // failed() counts an attempt and keeps why.  depth() counts what waits.
    std::vector<BusMessage> busWaiting(const std::string &station, size_t limit);
    void busSent(const std::vector<BusMessage> &sent);
    void busFailed(const BusMessage &m, const std::string &why);
    size_t busDepth(const std::string &station = "");

    // The record with this id, as written.
    std::optional<Record> load(const std::string &id);

    // Moves every record waiting in the outbox for this store into it,
    // oldest first, each in one transaction, then marks it done in the
    // outbox.  Safe to repeat or interrupt: a record the store already has
    // (same content) is only marked.  Stops at the first lost connection;
    // the rest stays pending.  Throws StoreError when the store cannot be
    // reached at all.
    SyncResult sync();
    // Records waiting in the outbox for this store.
    size_t pendingCount();

    // The reports' queries.  Ordered: yield by plan, then day; failures most
    // frequent first (fail + error), then by plan and line; statistics by
    // plan, line, command, measurement; export rows oldest record first.
    std::vector<YieldRow> yieldByPlanDay(const RecordFilter &f);
    std::vector<FailureRow> failuresByStep(const RecordFilter &f);
    std::vector<StatRow> measurementStats(const RecordFilter &f);
    void exportRows(const RecordFilter &f, const std::function<void(const ExportRow &)> &each);
    // The matching records and their rows, streamed kind by kind (records,
    // metadata, failed steps, measurements) in no particular order: the
    // caller orders them (a server's collation and row order are its own).
    // Records written while it reads may add rows of records not passed
    // to reader.record.
    void reportRows(const RecordFilter &f, const ReportRowReader &reader);

    // The HTML report's figures (aggregates.h), each computed by the
    // database in one query, and the rows it streams in record order
    // (start time, then id; then step and position).
    void recordsInOrder(const RecordFilter &f, const std::function<void(const RecordSummary &)> &each);
    std::vector<MeasureFigures> measureFigures(const RecordFilter &f);
    void measureBins(const RecordFilter &f, const std::vector<BinRequest> &req,
                     const std::function<void(size_t request, int64_t bin, int64_t count)> &each);
    void measureRuns(const RecordFilter &f, const std::vector<RunRequest> &req,
                     const std::function<void(size_t request, int64_t point, const RunFigures &)> &each);
    // failedSteps: every step that did not pass.
    std::vector<FailureCount> failureCounts(const RecordFilter &f, int64_t *failedSteps);
    std::vector<PassYieldFigures> passYields(const RecordFilter &f, YieldGroupBy by);
    // By key, then most records first.
    void metadataCounts(const RecordFilter &f, const std::function<void(const MetadataCount &)> &each);
    void measurementsInOrder(const RecordFilter &f, const MeasurementSelect &select,
                             const std::function<void(const MeasurementInOrder &)> &each);
    // commands: of these steps only; none: every step's series.
    void seriesPointsInOrder(const RecordFilter &f, const std::vector<std::string> &commands,
                             const std::function<void(const SeriesPointInOrder &)> &each);

    // The newest golden check of (station, port), by one index lookup
    // whatever the store's size; none when the port was never checked.
    std::optional<GoldenCheck> lastGoldenCheck(const std::string &station, const std::string &port);

    // Archive and restore (archive.cpp, restore.cpp; docs/records.md).
    // archive: every record started before beforeDay (UTC "YYYY-MM-DD")
    // goes to file, a new zstd-compressed JSON-lines file (never one that
    // exists), read in pages; the file is then read back and every record
    // compared with the store's digest; only then are the records deleted,
    // in one transaction (PostgreSQL drops the months that lie wholly
    // before the day), the newest archived golden check of each port
    // kept, and the archive noted in `archives`.  Any failure before the
    // delete removes the file and leaves the store as it was; with no
    // record before the day there is no file (records = 0).  Throws
    // InvalidInput (a bad day) or StoreError.
    ArchiveResult archive(const std::string &beforeDay, const std::string &file);
    // restore: the records of an archive back into the store.  Every line
    // is read and checked (validateRecord) before anything is written;
    // then batches, each in one transaction.  A record that is there with
    // the same content is a no-op; one with other content stops it
    // (StoreError).  A file that is not a sound archive throws InvalidInput.
    RestoreResult restore(const std::string &file);
    // The archives taken from this store, oldest `before` first; and those
    // that hold records a report with filter f would have shown.
    std::vector<ArchiveInfo> archives();
    std::vector<ArchiveInfo> archivesOverlapping(const RecordFilter &f);
    // Bytes the store takes: PostgreSQL's database, or the SQLite file
    // with its write-ahead log.
    int64_t sizeBytes();

  private:
    Store(StoreUrl url, OpenOptions opts);
    // archive's phases (archive.cpp): write the file, check it against
    // the store, delete what it holds.
    ArchiveTally writeArchive(const std::string &before, const std::string &file);
    void checkArchive(const std::string &before, const std::string &file, const ArchiveTally &written);
    std::string deleteArchived(const std::string &before, const std::string &file, const ArchiveTally &written);
    int64_t restoreBatch(const std::vector<Record> &batch, int64_t *alreadyThere);
    std::unique_ptr<db::Connection> openConnection(bool mayCreate);
    // Runs fn on a pooled connection; database errors become StoreError.
    void withConnection(const std::function<void(db::Connection &)> &fn);
    // PostgreSQL: the same on the Store's one connection.
    void withServer(const std::function<void(db::Connection &)> &fn);
    // Keeps the server connection open between calls while it lives.
    struct KeepConnection {
        explicit KeepConnection(Store &s);
        ~KeepConnection();
        Store &store_;
    };
    void writeHere(const Record &r, const std::vector<BusMessage> &messages = {});
    // PostgreSQL: makes the partitions of the month of a record's start
    // once per process and month (guarded by serverTurn_).
    void prepareMonth(db::Connection &c, const std::string &startedAt);
    std::vector<std::string> monthsReady_;
    void keepInOutbox(const Record &r, const std::string &target, const std::string &reason,
                      const std::vector<BusMessage> &messages = {});
    static void queueBus(db::Connection &c, const std::vector<BusMessage> &messages);
    std::string outboxTarget() const;
    Store &outbox();

    StoreUrl url_;
    OpenOptions opts_;
    std::mutex mu_;  // guards idle_, outbox_ and serverUsers_ only
    std::vector<std::unique_ptr<db::Connection>> idle_;
    std::unique_ptr<Store> outbox_;
    // PostgreSQL: taken before mu_ when both are; serverTurn_ guards
    // server_ and schemaChecked_, and is held while the server works.
    std::mutex serverTurn_;
    int serverUsers_ = 0;  // calls using or waiting for server_, and keepers
    int64_t serverLost_ = 0;  // connections lost (or not made) so far; guarded by mu_
    std::unique_ptr<db::Connection> server_;
    bool schemaChecked_ = false;
};

}  // namespace results
