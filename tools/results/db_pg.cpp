// The database layer on libpq.  Every statement is sent without blocking
// and its answer awaited with a deadline: a server that stops answering
// (stopped, cut off, its host gone) costs a bounded wait, after which the
// connection counts as lost and the caller spools the record.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <charconv>
#include <chrono>
#include <exception>
#include <string>

#include "cancel/token.h"
#include "format/text.h"
#include "results/db.h"

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

// A result, cleared whatever way the scope is left.
struct Result {
    PGresult *r = nullptr;
    explicit Result(PGresult *p = nullptr) : r(p) {}
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    ~Result() { PQclear(r); }
};

using Clock = std::chrono::steady_clock;

class PgConnection : public Connection {
  public:
    PgConnection(PGconn *c, const PgLimits &limits)
        : c_(c),
          answerMs_(limits.answerMs),
          begin_("BEGIN; SET LOCAL client_min_messages = warning; SET LOCAL statement_timeout = " +
                 std::to_string(limits.statementMs) + "; SET LOCAL lock_timeout = " +
                 std::to_string(limits.lockMs) + "; SET LOCAL idle_in_transaction_session_timeout = " +
                 std::to_string(limits.idleInTransactionMs)) {}
    ~PgConnection() override { PQfinish(c_); }

    Dialect dialect() const override { return Dialect::Postgres; }

    void exec(const std::string &sql) override {
        if (!PQsendQuery(c_, sql.c_str())) lost();
        Result r;
        await(&r);
    }

    // One round trip: the limits come with BEGIN.
    void begin() override { exec(begin_); }
    void readOnly() override {
        if (begin_.compare(0, 6, "BEGIN;") == 0) begin_.replace(0, 6, "BEGIN READ ONLY;");
    }

    int64_t run(const std::string &sql, const Params &params) override {
        int64_t n = 0;
        inTransaction([&] {
            Result r;
            execParams(sql, params, &r);
            const char *t = PQcmdTuples(r.r);
            std::from_chars(t, t + strlen(t), n);
        });
        return n;
    }

    // Row by row as the server sends them (single-row mode): a report's
    // millions of rows are never held here at once.
    void query(const std::string &sql, const Params &params, const RowFn &each) override {
        inTransaction([&] {
            Result r;
            execParams(sql, params, &r, &each);
        });
    }

  private:
    // fn in the caller's transaction, or in one of its own.
    void inTransaction(const std::function<void()> &fn) {
        if (PQtransactionStatus(c_) != PQTRANS_IDLE) return fn();
        transaction(*this, fn);
    }

    void execParams(const std::string &sql, const Params &params, Result *out, const RowFn *each = nullptr) {
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
        if (!PQsendQueryParams(c_, sql.c_str(), (int)params.size(), nullptr, values.data(), nullptr,
                               nullptr, 0))
            lost();
        if (each) PQsetSingleRowMode(c_);
        await(out, each);
    }

    [[noreturn]] void lost() {
        throw Error("PostgreSQL: " + firstLine(PQerrorMessage(c_)), true);
    }

    // Waits until the socket is ready for `events` or the deadline passes;
    // Ctrl-C (stop raised) ends it too, and the connection with it.
    void waitFor(short events, Clock::time_point until, const cancel::Token *stop) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        switch (cancel::waitFd(PQsocket(c_), events, cancel::nowMs() + std::max<int64_t>(left, 0), stop)) {
        case cancel::Wake::Ready: return;
        case cancel::Wake::Timeout:
            throw Error("PostgreSQL: the server did not answer within " + std::to_string(answerMs_ / 1000) + " s",
                        true);
        case cancel::Wake::Cancelled: throw Error("PostgreSQL: interrupted", true);
        case cancel::Wake::Error: throw Error("PostgreSQL: poll: " + std::string(strerror(errno)), true);
        }
    }

    // Sends what is queued and reads every result of the statement(s);
    // keeps the last one, or throws the first error.  A statement sent
    // before Ctrl-C (a report's query) waits until it; one sent after (a
    // record kept as the station closes) waits within the limits alone.
    // With each, rows of single-row mode go to it as they come, and the
    // deadline runs from the last one; an exception from each is thrown
    // once the statement's results are all read.
    void await(Result *out, const RowFn *each = nullptr) {
        Clock::time_point until = Clock::now() + std::chrono::milliseconds(answerMs_);
        const cancel::Token *stop = cancel::process().raised() ? nullptr : &cancel::process();
        for (;;) {
            int f = PQflush(c_);
            if (f == 0) break;
            if (f < 0) lost();
            waitFor(POLLIN | POLLOUT, until, stop);
            if (!PQconsumeInput(c_)) lost();
        }
        std::string error;
        std::exception_ptr failed;
        for (;;) {
            while (PQisBusy(c_)) {
                waitFor(POLLIN, until, stop);
                if (!PQconsumeInput(c_)) lost();
            }
            PGresult *r = PQgetResult(c_);
            if (!r) break;
            ExecStatusType st = PQresultStatus(r);
            if (st == PGRES_SINGLE_TUPLE) {
                Result row(r);
                until = Clock::now() + std::chrono::milliseconds(answerMs_);
                if (failed) continue;
                try {
                    (*each)(PgRow(r, 0));
                } catch (...) {
                    failed = std::current_exception();
                }
                continue;
            }
            if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) {
                PQclear(out->r);
                out->r = r;
            } else {
                if (error.empty()) error = firstLine(PQresultErrorMessage(r));
                PQclear(r);
            }
        }
        if (PQstatus(c_) != CONNECTION_OK) lost();
        if (!error.empty()) throw Error("PostgreSQL: " + error, false);
        if (failed) std::rethrow_exception(failed);
        if (!out->r) throw Error("PostgreSQL: no result", false);
    }

    PGconn *c_;
    int answerMs_;
    std::string begin_;
};

}  // namespace

std::unique_ptr<Connection> openPostgres(const std::string &conninfo, const PgLimits &limits) {
    // With expand_dbname the URL in "dbname" is taken apart, and what it
    // says wins over the entries before it: these only fill in what it
    // leaves out, so that an unreachable server costs seconds, not minutes.
    // Keepalives and tcp_user_timeout notice a dead TCP peer; over a Unix
    // socket they do not apply and the deadline per statement does.
    std::string connect = std::to_string(limits.connectSeconds);
    const char *k[] = {"connect_timeout", "tcp_user_timeout", "keepalives",        "keepalives_idle",
                       "keepalives_interval", "keepalives_count", "fallback_application_name",
                       "dbname", nullptr};
    const char *v[] = {connect.c_str(), "10000", "1", "5", "2", "3", "rfprobe", conninfo.c_str(), nullptr};
    PGconn *c = PQconnectdbParams(k, v, 1);
    if (!c) throw Error("PostgreSQL: out of memory", true);
    if (PQstatus(c) != CONNECTION_OK) {
        std::string m = firstLine(PQerrorMessage(c));
        PQfinish(c);
        throw Error("PostgreSQL: " + m, true);
    }
    if (PQsetnonblocking(c, 1) != 0) {
        std::string m = firstLine(PQerrorMessage(c));
        PQfinish(c);
        throw Error("PostgreSQL: " + m, true);
    }
    // A lock another session holds, or a statement that runs away, ends on
    // the server with an error instead of holding this station: the limits
    // come with every BEGIN (see PgLimits).
    return std::make_unique<PgConnection>(c, limits);
}

}  // namespace db
}  // namespace results
