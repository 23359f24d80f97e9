// A thin layer over libsqlite3 and libpq, only as much as the store needs:
// statements with numbered parameters ($1, $2, ... in both), rows read by
// column index, and errors that say whether the connection is gone or the
// database was busy.  Internal to the results library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace results {
namespace db {

enum class Dialect { Sqlite, Postgres };

struct Error : std::runtime_error {
    Error(const std::string &msg, bool lost, bool busy = false, bool notDatabase = false)
        : std::runtime_error(msg), connectionLost(lost), busy(busy), notDatabase(notDatabase) {}
    bool connectionLost;  // the server went away or stopped answering: drop the connection
    bool busy;            // SQLite: locked by another connection; worth another try
    bool notDatabase;     // SQLite: the file is not a database at all
};

struct Value {
    enum Kind { Null, Int, Real, Text } kind = Null;
    int64_t i = 0;
    double d = 0;
    std::string s;

    Value() = default;
    Value(int64_t v) : kind(Int), i(v) {}
    Value(int v) : kind(Int), i(v) {}
    Value(unsigned v) : kind(Int), i(v) {}
    Value(double v) : kind(Real), d(v) {}
    Value(const std::string &v) : kind(Text), s(v) {}
    Value(const char *v) : kind(Text), s(v) {}
};

class Row {
  public:
    virtual ~Row() = default;
    virtual bool isNull(int col) const = 0;
    virtual int64_t integer(int col) const = 0;
    virtual double real(int col) const = 0;
    virtual std::string text(int col) const = 0;
};

using Params = std::vector<Value>;
using RowFn = std::function<void(const Row &)>;

// One connection, used by one thread at a time.  Every statement must use
// each of its parameters: a $n that the SQL lacks, or one it has without a
// value, is an Error, never skipped.
class Connection {
  public:
    virtual ~Connection() = default;
    virtual Dialect dialect() const = 0;
    // Statements without parameters, e.g. "COMMIT" or a schema script.
    virtual void exec(const std::string &sql) = 0;
    // Starts a transaction: BEGIN IMMEDIATE on SQLite (a writer waits for
    // the lock up front); BEGIN and the connection's limits on PostgreSQL.
    virtual void begin() = 0;
    // From now on every transaction only reads (PostgreSQL: BEGIN READ
    // ONLY, so a report can change nothing whatever its SQL); SQLite:
    // nothing.
    virtual void readOnly() {}
    // One statement; returns the number of rows it changed.  On PostgreSQL
    // a statement outside a transaction runs in one of its own, so that the
    // limits hold for it too.
    virtual int64_t run(const std::string &sql, const Params &params) = 0;
    // One statement; calls each for every row.  As run() for transactions.
    virtual void query(const std::string &sql, const Params &params, const RowFn &each) = 0;
};

// mustExist: fail when the file is not there instead of creating it.  The
// file is only opened: nothing is read or changed (the store checks what
// the file is before it sets the journal mode).
std::unique_ptr<Connection> openSqlite(const std::string &path, bool mustExist);

// conninfo: a postgresql:// URL or key=value string for libpq.  Every wait
// on the server is bounded: connecting (connect_timeout), each statement
// (statement_timeout and lock_timeout on the server, and a deadline here
// for a server that stops answering at all), and a transaction left open
// by a station that stopped inside it (idle_in_transaction_session_timeout:
// the server ends that session and its locks go).  The server's limits are
// set with SET LOCAL at the start of every transaction, never for the
// session: behind a pooler in transaction mode the next transaction may
// run on another server connection, and a session's SET would stay behind
// on this one for some other client.
struct PgLimits {
    int connectSeconds = 5;
    int statementMs = 5000;          // the server's statement_timeout
    int lockMs = 2000;               // the server's lock_timeout
    int idleInTransactionMs = 5000;  // the server's idle_in_transaction_session_timeout
    int answerMs = 15000;            // no answer at all within this: the connection is lost
};
std::unique_ptr<Connection> openPostgres(const std::string &conninfo, const PgLimits &limits = {});

// Runs fn inside begin()/COMMIT; rolls back and rethrows on any exception,
// begin()'s own included (a setting the server refused after BEGIN).
void transaction(Connection &c, const std::function<void()> &fn);

// Calls fn again while it fails with a busy Error (SQLite returns busy
// without waiting in some cases, e.g. while another connection switches
// the journal mode), for up to waitMs in all.  These waits, SQLite's for
// a lock (30 s) and PostgreSQL's for an answer end at Ctrl-C (the process's
// cancel token) with an Error that says "interrupted", unless they began
// after it: a record kept as the station closes waits as long as before.
void retryBusy(const std::function<void()> &fn, int waitMs = 30000);

}  // namespace db
}  // namespace results
