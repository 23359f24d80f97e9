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
    // Statements without parameters, e.g. "BEGIN" or a schema script.
    virtual void exec(const std::string &sql) = 0;
    // One statement; returns the number of rows it changed.
    virtual int64_t run(const std::string &sql, const Params &params) = 0;
    // One statement; calls each for every row.
    virtual void query(const std::string &sql, const Params &params, const RowFn &each) = 0;
};

// mustExist: fail when the file is not there instead of creating it.  The
// file is only opened: nothing is read or changed (the store checks what
// the file is before it sets the journal mode).
std::unique_ptr<Connection> openSqlite(const std::string &path, bool mustExist);

// conninfo: a postgresql:// URL or key=value string for libpq.  Every wait
// on the server is bounded: connecting (connect_timeout), each statement
// (statement_timeout and lock_timeout on the server, and a deadline here
// for a server that stops answering at all).
struct PgLimits {
    int connectSeconds = 5;
    int statementMs = 10000;  // the server's statement_timeout
    int lockMs = 5000;        // the server's lock_timeout
    int answerMs = 15000;     // no answer at all within this: the connection is lost
};
std::unique_ptr<Connection> openPostgres(const std::string &conninfo, const PgLimits &limits = {});

// Runs fn inside BEGIN/COMMIT (BEGIN IMMEDIATE on SQLite, so that a writer
// waits for the lock up front); rolls back and rethrows on any exception.
void transaction(Connection &c, const std::function<void()> &fn);

// Calls fn again while it fails with a busy Error (SQLite returns busy
// without waiting in some cases, e.g. while another connection switches
// the journal mode), for up to waitMs in all.
void retryBusy(const std::function<void()> &fn, int waitMs = 30000);

}  // namespace db
}  // namespace results
