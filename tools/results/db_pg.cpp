// The database layer on libpq.
#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <string>

#include "results/db.h"
#include "format/text.h"

namespace results {
namespace db {

namespace {

class PgRow : public Row {
  public:
    PgRow(PGresult *res, int row) : res_(res), row_(row) {}
    bool isNull(int col) const override { return PQgetisnull(res_, row_, col) != 0; }
    int64_t integer(int col) const override {
        int64_t v = 0;
        const char *t = PQgetvalue(res_, row_, col);
        std::from_chars(t, t + PQgetlength(res_, row_, col), v);
        return v;
    }
    // PostgreSQL writes a double as its shortest exact text, in the C
    // locale whatever ours is.
    double real(int col) const override {
        return format::parseNumber(std::string_view(PQgetvalue(res_, row_, col),
                                                    (size_t)PQgetlength(res_, row_, col)))
            .value_or(0.0);
    }
    std::string text(int col) const override {
        return std::string(PQgetvalue(res_, row_, col), (size_t)PQgetlength(res_, row_, col));
    }

  private:
    PGresult *res_;
    int row_;
};

std::string firstLine(const char *msg) {
    std::string m = msg ? msg : "";
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return m;
}

class PgConnection : public Connection {
  public:
    explicit PgConnection(PGconn *c) : c_(c) {}
    ~PgConnection() override { PQfinish(c_); }

    Dialect dialect() const override { return Dialect::Postgres; }

    void exec(const std::string &sql) override { PQclear(check(PQexec(c_, sql.c_str()))); }

    int64_t run(const std::string &sql, const Params &params) override {
        PGresult *r = execParams(sql, params);
        int64_t n = strtoll(PQcmdTuples(r), nullptr, 10);
        PQclear(r);
        return n;
    }

    void query(const std::string &sql, const Params &params, const RowFn &each) override {
        PGresult *r = execParams(sql, params);
        int n = PQntuples(r);
        try {
            for (int i = 0; i < n; i++) each(PgRow(r, i));
        } catch (...) {
            PQclear(r);
            throw;
        }
        PQclear(r);
    }

  private:
    PGresult *execParams(const std::string &sql, const Params &params) {
        std::vector<std::string> text(params.size());
        std::vector<const char *> values(params.size());
        for (size_t i = 0; i < params.size(); i++) {
            const Value &v = params[i];
            switch (v.kind) {
            case Value::Null: values[i] = nullptr; continue;
            case Value::Int: text[i] = std::to_string(v.i); break;
            case Value::Real: text[i] = format::number(v.d); break;
            case Value::Text: text[i] = v.s; break;
            }
            values[i] = text[i].c_str();
        }
        PGresult *r = PQexecParams(c_, sql.c_str(), (int)params.size(), nullptr, values.data(), nullptr,
                                   nullptr, 0);
        return check(r);
    }

    // The result when the statement succeeded, else an Error (freed).
    PGresult *check(PGresult *r) {
        ExecStatusType st = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return r;
        std::string msg = firstLine(r ? PQresultErrorMessage(r) : nullptr);
        if (msg.empty()) msg = firstLine(PQerrorMessage(c_));
        PQclear(r);
        throw Error("PostgreSQL: " + msg, PQstatus(c_) != CONNECTION_OK);
    }

    PGconn *c_;
};

}  // namespace

std::unique_ptr<Connection> openPostgres(const std::string &conninfo) {
    // With expand_dbname the URL in "dbname" is taken apart, and what it
    // says wins over the entries before it: these only fill in what it
    // leaves out, so that an unreachable server costs seconds, not minutes.
    const char *k[] = {"connect_timeout", "tcp_user_timeout", "fallback_application_name", "dbname",
                       nullptr};
    const char *v[] = {"5", "10000", "rfprobe", conninfo.c_str(), nullptr};
    PGconn *c = PQconnectdbParams(k, v, 1);
    if (!c) throw Error("PostgreSQL: out of memory", true);
    if (PQstatus(c) != CONNECTION_OK) {
        std::string m = firstLine(PQerrorMessage(c));
        PQfinish(c);
        throw Error("PostgreSQL: " + m, true);
    }
    auto conn = std::make_unique<PgConnection>(c);
    conn->exec("SET client_min_messages = warning");
    return conn;
}

}  // namespace db
}  // namespace results
