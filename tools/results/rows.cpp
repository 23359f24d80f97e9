// Records mapped to rows and back, and the SQL pieces that hide the two
// databases' differences.
#include "results/rows.h"

#include <cstdio>
#include <ctime>
#include <functional>

namespace results {

using db::Connection;
using db::Dialect;
using db::Params;
using db::Row;
using db::Value;

namespace sql {

std::string timeText(Dialect d, const std::string &col) {
    if (d == Dialect::Sqlite) return col;
    return "to_char(" + col + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

std::string dayText(Dialect d, const std::string &col) {
    if (d == Dialect::Sqlite) return "substr(" + col + ", 1, 10)";
    return "to_char(" + col + " AT TIME ZONE 'UTC', 'YYYY-MM-DD')";
}

namespace {

// The UTC day after day ("YYYY-MM-DD").
std::string nextDay(const std::string &day) {
    struct tm t = {};
    if (sscanf(day.c_str(), "%4d-%2d-%2d", &t.tm_year, &t.tm_mon, &t.tm_mday) != 3) return day;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return formatUtc(((int64_t)timegm(&t) + 86400) * 1000).substr(0, 10);
}

}  // namespace

// Every bound is on the column itself, so that an index on started_at (or
// station, plan, serial and started_at) serves it.
std::string recordWhere(Dialect d, const RecordFilter &f, Params *params) {
    std::string w;
    const char *time = d == Dialect::Postgres ? "::timestamptz" : "";
    auto add = [&](const std::string &expr, const std::string &value, const char *cast = "") {
        if (value.empty()) return;
        params->push_back(value);
        w += (w.empty() ? " WHERE " : " AND ") + expr + " $" + std::to_string(params->size()) + cast;
    };
    add("r.plan_name =", f.plan);
    add("r.serial =", f.serial);
    add("r.station =", f.station);
    add("r.started_at >=", f.since.empty() ? "" : f.since + "T00:00:00.000Z", time);
    add("r.started_at <", f.until.empty() ? "" : nextDay(f.until) + "T00:00:00.000Z", time);
    add("r.started_at >=", f.startedFrom, time);
    add("r.started_at <", f.startedBefore, time);
    return w;
}

std::string sameRecord(Dialect d, const std::string &alias) {
    std::string on = " ON r.record_id = " + alias + ".record_id";
    return d == Dialect::Postgres ? on + " AND r.started_at = " + alias + ".record_started" : on;
}

}  // namespace sql

namespace {

// ---- writing and reading records ------------------------------------------------

std::string joinArgs(const std::vector<std::string> &args) {
    std::string s;
    for (const std::string &a : args) s += (s.empty() ? "" : " ") + a;
    return s;
}

Value optText(const std::string &s) { return s.empty() ? Value() : Value(s); }
Value optReal(const std::optional<double> &d) { return d ? Value(*d) : Value(); }

// A step's series: its columns, then its values, many to a statement
// (a calibration has hundreds) within every database's parameter limit.
void insertSeries(Connection &c, const std::string &id, int64_t step, const std::vector<Series> &series) {
    constexpr size_t kValuesPerStatement = 128;  // 6 parameters each: under SQLite's 999
    for (size_t t = 0; t < series.size(); t++) {
        const Series &x = series[t];
        for (size_t k = 0; k < x.columns.size(); k++)
            c.run("INSERT INTO series_columns (record_id, step_index, series_index, column_index, series, name,"
                  " unit) VALUES ($1, $2, $3, $4, $5, $6, $7)",
                  {id, step, (int64_t)t, (int64_t)k, x.name, x.columns[k].name, x.columns[k].unit});
        Params p;
        std::string values;
        auto flush = [&] {
            if (p.empty()) return;
            c.run("INSERT INTO series_values (record_id, step_index, series_index, row_index, column_index,"
                  " value) VALUES " + values, p);
            p.clear();
            values.clear();
        };
        for (size_t row = 0; row < x.rows.size(); row++)
            for (size_t k = 0; k < x.rows[row].size(); k++) {
                std::string at = "$" + std::to_string(p.size() + 1);
                for (int n = 2; n <= 6; n++) at += ", $" + std::to_string(p.size() + n);
                values += (values.empty() ? "(" : ", (") + at + ")";
                p.insert(p.end(), {Value(id), Value(step), Value((int64_t)t), Value((int64_t)row),
                                   Value((int64_t)k), Value(x.rows[row][k])});
                if (p.size() >= kValuesPerStatement * 6) flush();
            }
        flush();
    }
}

}  // namespace

// SQLite's layout: a row per step, exchange, measurement and series value.
bool insertRecordRows(Connection &c, const Record &r, const std::string &digest) {
    int64_t n = c.run(
        "INSERT INTO records (record_id, serial, station, operator, plan_name, plan_sha256,"
        " started_at, ended_at, verdict, digest) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)"
        " ON CONFLICT (record_id) DO NOTHING",
        {r.id, r.serial, r.station, r.operatorName, r.planName, r.planSha256, r.startedAt, r.endedAt,
         verdictName(r.verdict), digest});
    if (n == 0) return false;
    for (const auto &kv : r.metadata)
        c.run("INSERT INTO record_metadata (record_id, key, value) VALUES ($1, $2, $3)",
              {r.id, kv.first, kv.second});
    for (size_t i = 0; i < r.steps.size(); i++) {
        const Step &s = r.steps[i];
        int64_t si = (int64_t)i;
        c.run("INSERT INTO steps (record_id, step_index, line, command, args, started_at, duration_s,"
              " verdict, error) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
              {r.id, si, s.line, s.command, joinArgs(s.args), s.startedAt, s.durationS,
               verdictName(s.verdict), optText(s.error)});
        for (size_t k = 0; k < s.exchanges.size(); k++) {
            const Exchange &e = s.exchanges[k];
            Params p = {r.id, si, (int64_t)k, e.attempts, e.request.code, e.request.byteArg,
                        (int64_t)e.request.value1, (int64_t)e.request.value2,
                        (int64_t)e.request.value3, e.request.chain};
            if (e.reply) {
                const ReplyFields &y = *e.reply;
                p.insert(p.end(), {Value(y.code), Value(y.byteArg), Value((int64_t)y.value1),
                                   Value((int64_t)y.value2), Value((int64_t)y.value3), Value(y.half),
                                   optText(y.from)});
            } else {
                p.resize(p.size() + 7);
            }
            c.run("INSERT INTO exchanges (record_id, step_index, exchange_index, attempts, req_code,"
                  " req_byte, req_value1, req_value2, req_value3, req_chain, reply_code, reply_byte,"
                  " reply_value1, reply_value2, reply_value3, reply_half, reply_from) VALUES"
                  " ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17)",
                  p);
        }
        for (size_t k = 0; k < s.measurements.size(); k++) {
            const Measurement &m = s.measurements[k];
            c.run("INSERT INTO measurements (record_id, step_index, measurement_index, name, value,"
                  " low, high, verdict) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
                  {r.id, si, (int64_t)k, m.name, m.value, optReal(m.low), optReal(m.high),
                   verdictName(m.verdict)});
        }
        insertSeries(c, r.id, si, s.series);
    }
    return true;
}

namespace {

// SQLite: a golden check's place in its port's order (PostgreSQL's insert
// statement does the same).
void keepGoldenCheck(Connection &c, const Record &r) {
    auto kind = r.metadata.find(kRecordKindKey), port = r.metadata.find(kFixturePortKey);
    if (kind == r.metadata.end() || kind->second != kGoldenKind || port == r.metadata.end()) return;
    c.run("INSERT INTO golden_checks (station, port, record_id, serial, started_at, stored_at, verdict)"
          " VALUES ($1, $2, $3, $4, $5, $6, $7)",
          {r.station, port->second, r.id, r.serial, r.startedAt, nowUtc(), verdictName(r.verdict)});
}

}  // namespace

bool insertRecord(Connection &c, const Record &r) {
    std::string digest = recordDigest(r);
    bool pg = c.dialect() == Dialect::Postgres;
    if (pg && insertRecordPg(c, r, digest)) return true;
    if (!pg && insertRecordRows(c, r, digest)) {
        keepGoldenCheck(c, r);
        return true;
    }
    std::string have;
    c.query(pg ? "SELECT digest FROM records WHERE record_id = $1::uuid" : "SELECT digest FROM records WHERE record_id = $1",
            {r.id}, [&](const Row &row) { have = row.text(0); });
    if (have == digest) return false;
    // Written by an rfprobe with another digest: compare the content.
    if (!have.empty() && !isCurrentDigest(have)) {
        std::optional<Record> there = loadRecord(c, r.id);
        if (there && recordDigest(*there) == digest) return false;
    }
    throw StoreError("record " + r.id + " is already in the store with different content");
}

Step stepAtRow(const Row &row, int col) {
    Step s;
    s.line = (int)row.integer(col);
    s.command = row.text(col + 1);
    std::string args = row.text(col + 2);
    for (size_t p = 0; p < args.size();) {
        size_t e = args.find(' ', p);
        if (e == std::string::npos) e = args.size();
        s.args.push_back(args.substr(p, e - p));
        p = e + 1;
    }
    s.startedAt = row.text(col + 3);
    s.durationS = row.real(col + 4);
    s.verdict = verdictAt(row, col + 5);
    if (!row.isNull(col + 6)) s.error = row.text(col + 6);
    return s;
}

void recordHeadAtRow(const Row &row, Record *r) {
    r->id = row.text(0);
    r->serial = row.text(1);
    r->station = row.text(2);
    r->operatorName = row.text(3);
    r->planName = row.text(4);
    r->planSha256 = row.text(5);
    r->startedAt = row.text(6);
    r->endedAt = row.text(7);
    r->verdict = verdictAt(row, 8);
}

RecordSummary summaryAtRow(const Row &row, int col) {
    return {row.text(col),     row.text(col + 1), row.text(col + 2), row.text(col + 3),
            row.text(col + 4), row.text(col + 5), row.text(col + 6), verdictAt(row, col + 7)};
}

Verdict verdictAt(const Row &row, int col) {
    std::optional<Verdict> v = verdictFromName(row.text(col));
    if (!v) throw StoreError("the store holds an unknown verdict \"" + row.text(col) + "\"");
    return *v;
}

// The exchanges of a record, each into its step.
static void loadExchanges(Connection &c, const std::string &id, const std::function<Step &(int64_t)> &stepAt) {
    c.query("SELECT step_index, attempts, req_code, req_byte, req_value1, req_value2, req_value3,"
            " req_chain, reply_code, reply_byte, reply_value1, reply_value2, reply_value3, reply_half,"
            " reply_from FROM exchanges WHERE record_id = $1 ORDER BY step_index, exchange_index",
            {id}, [&](const Row &row) {
                Exchange e;
                e.attempts = (unsigned)row.integer(1);
                e.request.code = (uint8_t)row.integer(2);
                e.request.byteArg = (uint8_t)row.integer(3);
                e.request.value1 = (uint32_t)row.integer(4);
                e.request.value2 = (uint32_t)row.integer(5);
                e.request.value3 = (uint32_t)row.integer(6);
                e.request.chain = (uint8_t)row.integer(7);
                if (!row.isNull(8)) {
                    ReplyFields y;
                    y.code = (uint8_t)row.integer(8);
                    y.byteArg = (uint8_t)row.integer(9);
                    y.value1 = (uint32_t)row.integer(10);
                    y.value2 = (uint32_t)row.integer(11);
                    y.value3 = (uint32_t)row.integer(12);
                    y.half = (uint16_t)row.integer(13);
                    if (!row.isNull(14)) y.from = row.text(14);
                    e.reply = y;
                }
                stepAt(row.integer(0)).exchanges.push_back(e);
            });
}

// The series of a record, each into its step: columns first, then the
// values into rows as wide as the columns.
static void loadSeries(Connection &c, const std::string &id, const std::function<Step &(int64_t)> &stepAt) {
    auto seriesAt = [&](int64_t step, int64_t t) -> Series & {
        std::vector<Series> &all = stepAt(step).series;
        if (t < 0 || t >= (int64_t)all.size())
            throw StoreError("record " + id + ": a series value names a series that is not there");
        return all[(size_t)t];
    };
    c.query("SELECT step_index, series_index, column_index, series, name, unit FROM series_columns"
            " WHERE record_id = $1 ORDER BY step_index, series_index, column_index",
            {id}, [&](const Row &row) {
                std::vector<Series> &all = stepAt(row.integer(0)).series;
                if (row.integer(1) == (int64_t)all.size()) all.push_back(Series{row.text(3), {}, {}});
                Series &x = seriesAt(row.integer(0), row.integer(1));
                if (row.integer(2) != (int64_t)x.columns.size())
                    throw StoreError("record " + id + ": the columns of series " + x.name + " are not numbered 0, 1, 2...");
                x.columns.push_back({row.text(4), row.text(5)});
            });
    c.query("SELECT step_index, series_index, row_index, column_index, value FROM series_values"
            " WHERE record_id = $1 ORDER BY step_index, series_index, row_index, column_index",
            {id}, [&](const Row &row) {
                Series &x = seriesAt(row.integer(0), row.integer(1));
                int64_t r = row.integer(2), k = row.integer(3);
                if (r == (int64_t)x.rows.size()) x.rows.emplace_back();
                if (r != (int64_t)x.rows.size() - 1 || k != (int64_t)x.rows.back().size())
                    throw StoreError("record " + id + ": the values of series " + x.name + " have gaps");
                x.rows.back().push_back(row.real(4));
            });
}

std::optional<Record> loadRecord(Connection &c, const std::string &id) {
    if (c.dialect() == Dialect::Postgres) return loadRecordPg(c, id);
    return loadRecordRows(c, id);
}

std::optional<Record> loadRecordRows(Connection &c, const std::string &id) {
    Dialect d = c.dialect();
    Record r;
    bool found = false;
    c.query("SELECT record_id, serial, station, operator, plan_name, plan_sha256, " +
                sql::timeText(d, "started_at") + ", " + sql::timeText(d, "ended_at") +
                ", verdict FROM records WHERE record_id = $1",
            {id}, [&](const Row &row) {
                found = true;
                recordHeadAtRow(row, &r);
            });
    if (!found) return std::nullopt;
    c.query("SELECT key, value FROM record_metadata WHERE record_id = $1", {id},
            [&](const Row &row) { r.metadata[row.text(0)] = row.text(1); });
    c.query("SELECT step_index, line, command, args, " + sql::timeText(d, "started_at") +
                ", duration_s, verdict, error FROM steps WHERE record_id = $1 ORDER BY step_index",
            {id}, [&](const Row &row) {
                if (row.integer(0) != (int64_t)r.steps.size())
                    throw StoreError("record " + id + ": its steps are not numbered 0, 1, 2...");
                r.steps.push_back(stepAtRow(row, 1));
            });
    auto stepAt = [&](int64_t i) -> Step & {
        if (i < 0 || i >= (int64_t)r.steps.size())
            throw StoreError("record " + id + ": a row names a step that is not there");
        return r.steps[(size_t)i];
    };
    loadExchanges(c, id, stepAt);
    c.query("SELECT step_index, name, value, low, high, verdict FROM measurements"
            " WHERE record_id = $1 ORDER BY step_index, measurement_index",
            {id}, [&](const Row &row) {
                Measurement m;
                m.name = row.text(1);
                m.value = row.real(2);
                if (!row.isNull(3)) m.low = row.real(3);
                if (!row.isNull(4)) m.high = row.real(4);
                m.verdict = verdictAt(row, 5);
                stepAt(row.integer(0)).measurements.push_back(m);
            });
    loadSeries(c, id, stepAt);
    return r;
}

}  // namespace results
