// A thin layer over libsqlite3 and libpq, only as much as the store needs:
// statements with numbered parameters ($1, $2, ... in both), rows read by
// column index, and errors that say whether the connection is gone.
// Internal to the results library.
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
    Error(const std::string &msg, bool lost) : std::runtime_error(msg), connectionLost(lost) {}
    bool connectionLost;  // the server went away (PostgreSQL); reconnect next time
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

// mustExist: fail when the file is not there instead of creating it.
std::unique_ptr<Connection> openSqlite(const std::string &path, bool mustExist);
// conninfo: a postgresql:// URL or key=value string for libpq.
std::unique_ptr<Connection> openPostgres(const std::string &conninfo);

// Runs fn inside BEGIN/COMMIT (BEGIN IMMEDIATE on SQLite, so that a writer
// waits for the lock up front); rolls back and rethrows on any exception.
void transaction(Connection &c, const std::function<void()> &fn);

}  // namespace db
}  // namespace results
