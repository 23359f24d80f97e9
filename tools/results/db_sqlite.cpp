// The database layer on libsqlite3.
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#include "cancel/token.h"
#include "results/db.h"

namespace results {
namespace db {

namespace {

class SqliteRow : public Row {
  public:
    explicit SqliteRow(sqlite3_stmt *st) : st_(st) {}
    bool isNull(int col) const override { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    int64_t integer(int col) const override { return sqlite3_column_int64(st_, col); }
    double real(int col) const override { return sqlite3_column_double(st_, col); }
    std::string text(int col) const override {
        const unsigned char *t = sqlite3_column_text(st_, col);
        return t ? std::string((const char *)t, (size_t)sqlite3_column_bytes(st_, col)) : std::string();
    }

  private:
    sqlite3_stmt *st_;
};

// A prepared statement, finalized whatever way the scope is left.
struct Statement {
    sqlite3_stmt *st = nullptr;
    Statement() = default;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement() { sqlite3_finalize(st); }
};

bool isBusy(int rc) { return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED; }

// How long a statement waits for another connection's lock.
constexpr int64_t kBusyMs = 30000;

// A wait begun before Ctrl-C ends at it; one begun after (a record kept as
// the station closes) is bounded by its time alone.
const cancel::Token *interruptible() { return cancel::process().raised() ? nullptr : &cancel::process(); }

class SqliteConnection : public Connection {
  public:
    SqliteConnection(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    Dialect dialect() const override { return Dialect::Sqlite; }

    void exec(const std::string &sql) override {
        char *msg = nullptr;
        int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg);
        if (rc != SQLITE_OK) {
            std::string m = msg ? msg : sqlite3_errmsg(db_);
            sqlite3_free(msg);
            if (interrupted_ && isBusy(rc)) interrupted_ = false, m = "interrupted", rc = SQLITE_ERROR;
            throw Error(path_ + ": " + m, false, isBusy(rc), (rc & 0xFF) == SQLITE_NOTADB);
        }
    }

    void begin() override { exec("BEGIN IMMEDIATE"); }

    int64_t run(const std::string &sql, const Params &params) override {
        step(sql, params, nullptr);
        return sqlite3_changes64(db_);
    }

    void query(const std::string &sql, const Params &params, const RowFn &each) override {
        step(sql, params, &each);
    }

    // SQLite's busy handler: short sleeps up to kBusyMs, ended by Ctrl-C.
    static int busyWait(void *self, int count) {
        SqliteConnection &c = *static_cast<SqliteConnection *>(self);
        if (count == 0) c.busySince_ = cancel::nowMs(), c.busyStop_ = interruptible(), c.interrupted_ = false;
        int64_t left = kBusyMs - (cancel::nowMs() - c.busySince_);
        if (left <= 0) return 0;
        if (cancel::sleepFor((uint32_t)std::min<int64_t>(left, count < 4 ? 1 << count : 20), c.busyStop_)) return 1;
        c.interrupted_ = true;
        return 0;
    }

  private:
    [[noreturn]] void fail(int rc) {
        if (interrupted_ && isBusy(rc)) {
            interrupted_ = false;
            throw Error(path_ + ": interrupted", false);
        }
        throw Error(path_ + ": " + sqlite3_errmsg(db_), false, isBusy(rc), (rc & 0xFF) == SQLITE_NOTADB);
    }

    // Parameters are written $1, $2, ... as for PostgreSQL; SQLite takes
    // them as named parameters, so each is bound by its name, and every
    // one must be both in the SQL and in params.
    void bind(sqlite3_stmt *st, const std::string &sql, const Params &params) {
        int count = sqlite3_bind_parameter_count(st);
        for (int i = 1; i <= count; i++) {
            const char *name = sqlite3_bind_parameter_name(st, i);
            size_t k = name && name[0] == '$' ? strtoul(name + 1, nullptr, 10) : 0;
            if (k < 1 || k > params.size())
                throw Error(path_ + ": parameter " + (name ? name : "?") + " has no value in: " + sql, false);
        }
        for (size_t i = 0; i < params.size(); i++) {
            int idx = sqlite3_bind_parameter_index(st, ("$" + std::to_string(i + 1)).c_str());
            if (idx == 0)
                throw Error(path_ + ": a value for $" + std::to_string(i + 1) + " that is not in: " + sql,
                            false);
            const Value &v = params[i];
            int rc = SQLITE_OK;
            switch (v.kind) {
            case Value::Null: rc = sqlite3_bind_null(st, idx); break;
            case Value::Int: rc = sqlite3_bind_int64(st, idx, v.i); break;
            case Value::Real: rc = sqlite3_bind_double(st, idx, v.d); break;
            case Value::Text:
                rc = sqlite3_bind_text(st, idx, v.s.data(), (int)v.s.size(), SQLITE_TRANSIENT);
                break;
            }
            if (rc != SQLITE_OK) fail(rc);
        }
    }

    void step(const std::string &sql, const Params &params, const RowFn *each) {
        Statement s;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), (int)sql.size() + 1, &s.st, nullptr);
        if (rc != SQLITE_OK) fail(rc);
        bind(s.st, sql, params);
        SqliteRow row(s.st);
        for (;;) {
            rc = sqlite3_step(s.st);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail(rc);
            if (each) (*each)(row);
        }
    }

    sqlite3 *db_;
    std::string path_;
    int64_t busySince_ = 0;
    const cancel::Token *busyStop_ = nullptr;
    bool interrupted_ = false;  // the busy wait ended on Ctrl-C
};

}  // namespace

std::unique_ptr<Connection> openSqlite(const std::string &path, bool mustExist) {
    struct stat sb;
    if (mustExist && stat(path.c_str(), &sb) != 0) throw Error("no results store at " + path, false);
    sqlite3 *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (mustExist ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string m = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        throw Error(path + ": " + m, false, isBusy(rc));
    }
    auto c = std::make_unique<SqliteConnection>(db, path);
    // Several units or stations write to one file: wait for the lock.
    sqlite3_busy_handler(db, SqliteConnection::busyWait, c.get());
    return c;
}

void transaction(Connection &c, const std::function<void()> &fn) {
    try {
        // Inside: a setting refused after BEGIN leaves a transaction to
        // roll back.
        c.begin();
        fn();
        c.exec("COMMIT");
    } catch (...) {
        try {
            c.exec("ROLLBACK");
        } catch (...) {
            // The connection is gone or the transaction already ended: the
            // server or SQLite has dropped the uncommitted work anyway.
        }
        throw;
    }
}

void retryBusy(const std::function<void()> &fn, int waitMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::minstd_rand jitter((unsigned)std::chrono::steady_clock::now().time_since_epoch().count());
    const cancel::Token *stop = interruptible();
    for (;;) {
        std::string busy;
        try {
            fn();
            return;
        } catch (const Error &e) {
            if (!e.busy || std::chrono::steady_clock::now() >= until) throw;
            busy = e.what();
        }
        if (!cancel::sleepFor(5 + jitter() % 20, stop)) throw Error(busy + "; interrupted", false);
    }
}

}  // namespace db
}  // namespace results
