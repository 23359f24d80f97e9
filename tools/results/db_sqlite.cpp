// The database layer on libsqlite3.
#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

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

class SqliteConnection : public Connection {
  public:
    SqliteConnection(sqlite3 *db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteConnection() override { sqlite3_close_v2(db_); }

    Dialect dialect() const override { return Dialect::Sqlite; }

    void exec(const std::string &sql) override {
        char *msg = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
            std::string m = msg ? msg : sqlite3_errmsg(db_);
            sqlite3_free(msg);
            throw Error(path_ + ": " + m, false);
        }
    }

    int64_t run(const std::string &sql, const Params &params) override {
        step(sql, params, nullptr);
        return sqlite3_changes64(db_);
    }

    void query(const std::string &sql, const Params &params, const RowFn &each) override {
        step(sql, params, &each);
    }

  private:
    void fail(sqlite3_stmt *st) {
        std::string m = path_ + ": " + sqlite3_errmsg(db_);
        sqlite3_finalize(st);
        throw Error(m, false);
    }

    void step(const std::string &sql, const Params &params, const RowFn *each) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), (int)sql.size() + 1, &st, nullptr) != SQLITE_OK) fail(st);
        // Parameters are written $1, $2, ... as for PostgreSQL; SQLite
        // takes them as named parameters, so bind each by its name.
        for (size_t i = 0; i < params.size(); i++) {
            int idx = sqlite3_bind_parameter_index(st, ("$" + std::to_string(i + 1)).c_str());
            if (idx == 0) continue;
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
            if (rc != SQLITE_OK) fail(st);
        }
        SqliteRow row(st);
        for (;;) {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail(st);
            if (each) (*each)(row);
        }
        sqlite3_finalize(st);
    }

    sqlite3 *db_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Connection> openSqlite(const std::string &path, bool mustExist) {
    struct stat sb;
    if (mustExist && stat(path.c_str(), &sb) != 0) throw Error("no results store at " + path, false);
    sqlite3 *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (mustExist ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string m = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        throw Error(path + ": " + m, false);
    }
    auto c = std::make_unique<SqliteConnection>(db, path);
    // Several units of a parallel run write to one file: wait for the lock.
    sqlite3_busy_timeout(db, 30000);
    // Write-ahead log with a sync at every commit: a committed record
    // survives a crash or a power cut, an uncommitted one is not there.
    c->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
    return c;
}

void transaction(Connection &c, const std::function<void()> &fn) {
    c.exec(c.dialect() == Dialect::Sqlite ? "BEGIN IMMEDIATE" : "BEGIN");
    try {
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

}  // namespace db
}  // namespace results
