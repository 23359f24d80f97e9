// Records in PostgreSQL's compact layout (schema version 3): a record is
// written by one statement, whatever its size, and read back by a few.
// A step is one row: its measurements as arrays, its exchanges packed
// (packExchanges); a series is one row with its values row after row.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "format/text.h"
#include "results/rows.h"

namespace results {

using db::Connection;
using db::Params;
using db::Row;
using db::Value;

namespace {

// ---- array and bytea literals, in PostgreSQL's text forms -------------------

std::string textArray(const std::vector<std::string> &items) {
    std::string s = "{";
    for (size_t i = 0; i < items.size(); i++) {
        s += i ? ",\"" : "\"";
        for (char ch : items[i]) {
            if (ch == '"' || ch == '\\') s += '\\';
            s += ch;
        }
        s += '"';
    }
    return s + "}";
}

std::string realText(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    return format::number(d);
}

std::string realArray(const std::vector<std::optional<double>> &items) {
    std::string s = "{";
    for (size_t i = 0; i < items.size(); i++) s += (i ? "," : "") + (items[i] ? realText(*items[i]) : "NULL");
    return s + "}";
}

double realOf(const Row &row, int col) {
    std::string t = row.text(col);
    if (t == "NaN") return NAN;
    if (t == "Infinity") return INFINITY;
    if (t == "-Infinity") return -INFINITY;
    return row.real(col);
}

const char kHex[] = "0123456789abcdef";

std::string byteaHex(const std::string &bytes) {
    std::string s = "\\x";
    for (unsigned char b : bytes) {
        s += kHex[b >> 4];
        s += kHex[b & 15];
    }
    return s;
}

bool byteaBytes(const std::string &text, std::string *out) {
    if (text.compare(0, 2, "\\x") != 0 || text.size() % 2) return false;
    out->clear();
    for (size_t i = 2; i < text.size(); i += 2) {
        const char *hi = strchr(kHex, text[i]), *lo = strchr(kHex, text[i + 1]);
        if (!hi || !lo || !*hi || !*lo) return false;
        out->push_back((char)(((hi - kHex) << 4) | (lo - kHex)));
    }
    return true;
}

Value optText(const std::string &s) { return s.empty() ? Value() : Value(s); }

std::string joinArgs(const std::vector<std::string> &args) {
    std::string s;
    for (const std::string &a : args) s += (s.empty() ? "" : " ") + a;
    return s;
}

// "$n" for the next parameter, which is pushed.
std::string param(Params *p, Value v, const char *cast = "") {
    p->push_back(std::move(v));
    return "$" + std::to_string(p->size()) + cast;
}

// A step's measurement names as one array, and its id: the first 63 bits
// of the array's SHA-256 (the names of a plan step are the same for most
// units, and stored once).
std::pair<int64_t, std::string> namesOf(const Step &s) {
    std::vector<std::string> names;
    for (const Measurement &m : s.measurements) names.push_back(m.name);
    std::string array = textArray(names);
    return {(int64_t)(std::stoull(sha256Hex(array).substr(0, 16), nullptr, 16) >> 1), array};
}

std::string stepValues(const Step &s, int64_t index, Params *p) {
    std::vector<std::optional<double>> values, lows, highs;
    std::string failed = "{";
    bool anyFailed = false, anyLow = false, anyHigh = false;
    for (size_t k = 0; k < s.measurements.size(); k++) {
        const Measurement &m = s.measurements[k];
        values.push_back(m.value);
        lows.push_back(m.low);
        highs.push_back(m.high);
        anyLow = anyLow || m.low, anyHigh = anyHigh || m.high;
        anyFailed = anyFailed || m.verdict == Verdict::Fail;
        failed += std::string(k ? "," : "") + (m.verdict == Verdict::Fail ? "t" : "f");
    }
    failed += "}";
    bool none = s.measurements.empty();
    std::string v = "(" + param(p, index, "::smallint") + ", " + param(p, s.line, "::integer") + ", " +
                    param(p, s.command) + ", " + param(p, joinArgs(s.args)) + ", " +
                    param(p, s.startedAt, "::timestamptz") + ", " + param(p, s.durationS, "::float8") + ", " +
                    param(p, verdictName(s.verdict)) + ", " + param(p, optText(s.error)) + ", ";
    v += s.exchanges.empty() ? "NULL::bytea" : param(p, byteaHex(packExchanges(s.exchanges)), "::bytea");
    if (none) return v + ", NULL::bigint, NULL::float8[], NULL::float8[], NULL::float8[], NULL::boolean[])";
    // Arrays without a limit or a FAIL are left out (NULL): most are.
    return v + ", " + param(p, namesOf(s).first, "::bigint") + ", " + param(p, realArray(values), "::float8[]") +
           ", " + (anyLow ? param(p, realArray(lows), "::float8[]") : "NULL::float8[]") + ", " +
           (anyHigh ? param(p, realArray(highs), "::float8[]") : "NULL::float8[]") + ", " +
           (anyFailed ? param(p, failed, "::boolean[]") : "NULL::boolean[]") + ")";
}

std::string seriesValues(const Series &x, int64_t step, int64_t index, Params *p) {
    std::vector<std::string> names, units;
    for (const SeriesColumn &c : x.columns) {
        names.push_back(c.name);
        units.push_back(c.unit);
    }
    std::vector<std::optional<double>> vals;
    for (const auto &row : x.rows)
        for (double v : row) vals.push_back(v);
    return "(" + param(p, step, "::smallint") + ", " + param(p, index, "::smallint") + ", " + param(p, x.name) +
           ", " + param(p, textArray(names), "::text[]") + ", " + param(p, textArray(units), "::text[]") + ", " +
           param(p, realArray(vals), "::float8[]") + ")";
}

// The one statement that writes a record: the record row, and every other
// row only where the record row went in (a record already there is left
// as it is).  Returns the statement; its parameters go to p.
std::string insertStatement(const Record &r, const std::string &digest, Params *p) {
    std::string id = param(p, r.id, "::uuid");
    std::string q =
        "WITH r AS (INSERT INTO records (record_id, started_at, ended_at, serial, station, operator, plan_name,"
        " plan_sha256, verdict, digest) SELECT " + id + ", " + param(p, r.startedAt, "::timestamptz") + ", " +
        param(p, r.endedAt, "::timestamptz") + ", " + param(p, r.serial, "::text") + ", " +
        param(p, r.station, "::text") + ", " + param(p, r.operatorName, "::text") + ", " +
        param(p, r.planName, "::text") + ", " + param(p, r.planSha256, "::text") + ", " +
        param(p, verdictName(r.verdict), "::text") + ", " + param(p, digest, "::text") +
        " WHERE NOT EXISTS (SELECT 1 FROM records WHERE record_id = " + id + ")"
        " ON CONFLICT DO NOTHING RETURNING record_id, started_at)";
    if (!r.metadata.empty()) {
        std::vector<std::string> keys, values;
        for (const auto &kv : r.metadata) {
            keys.push_back(kv.first);
            values.push_back(kv.second);
        }
        q += ", md AS (INSERT INTO record_metadata (record_id, record_started, key, value)"
             " SELECT r.record_id, r.started_at, x.k, x.v FROM r, unnest(" + param(p, textArray(keys), "::text[]") +
             ", " + param(p, textArray(values), "::text[]") + ") AS x(k, v))";
    }
    std::string names;
    std::vector<int64_t> seen;
    for (const Step &st : r.steps) {
        if (st.measurements.empty()) continue;
        auto n = namesOf(st);
        if (std::find(seen.begin(), seen.end(), n.first) != seen.end()) continue;
        seen.push_back(n.first);
        names += (names.empty() ? "(" : ", (") + param(p, n.first, "::bigint") + ", " +
                 param(p, n.second, "::text[]") + ")";
    }
    if (!names.empty())
        q += ", mn AS (INSERT INTO measurement_names (names_id, names) SELECT x.i, x.n FROM (VALUES " + names +
             ") AS x(i, n) WHERE EXISTS (SELECT 1 FROM r) ON CONFLICT DO NOTHING)";
    if (!r.steps.empty()) {
        std::string rows;
        for (size_t i = 0; i < r.steps.size(); i++) rows += (i ? ", " : "") + stepValues(r.steps[i], (int64_t)i, p);
        q += ", st AS (INSERT INTO steps (record_id, record_started, step_index, line, command, args, started_at,"
             " duration_s, verdict, error, exchanges, names_id, m_values, m_lows, m_highs, m_failed)"
             " SELECT r.record_id, r.started_at, x.* FROM r, (VALUES " + rows + ") AS x)";
    }
    std::string series;
    for (size_t i = 0; i < r.steps.size(); i++)
        for (size_t t = 0; t < r.steps[i].series.size(); t++)
            series += (series.empty() ? "" : ", ") + seriesValues(r.steps[i].series[t], (int64_t)i, (int64_t)t, p);
    if (!series.empty())
        q += ", se AS (INSERT INTO series (record_id, record_started, step_index, series_index, name, col_names,"
             " col_units, vals) SELECT r.record_id, r.started_at, x.* FROM r, (VALUES " + series + ") AS x)";
    auto kind = r.metadata.find(kRecordKindKey), port = r.metadata.find(kFixturePortKey);
    if (kind != r.metadata.end() && kind->second == kGoldenKind && port != r.metadata.end())
        q += ", g AS (INSERT INTO golden_checks (station, port, record_id, serial, started_at, verdict)"
             " SELECT " + param(p, r.station, "::text") + ", " + param(p, port->second, "::text") +
             ", r.record_id, " + param(p, r.serial, "::text") + ", r.started_at, " +
             param(p, verdictName(r.verdict), "::text") + " FROM r)";
    return q + " SELECT count(*) FROM r";
}

// ---- exchanges, packed: fixed fields as bytes, numbers as varints --------------

void putVarint(std::string *out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((char)(v | 0x80));
        v >>= 7;
    }
    out->push_back((char)v);
}

bool getVarint(const std::string &in, size_t *at, uint64_t *v) {
    *v = 0;
    for (int shift = 0; shift < 64 && *at < in.size(); shift += 7) {
        unsigned char b = (unsigned char)in[(*at)++];
        *v |= (uint64_t)(b & 0x7f) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

bool getByte(const std::string &in, size_t *at, uint8_t *v) {
    if (*at >= in.size()) return false;
    *v = (uint8_t)in[(*at)++];
    return true;
}

constexpr uint8_t kPackVersion = 1;
enum : uint8_t { kHasReply = 1, kSameFrom = 2 };

}  // namespace

std::string packExchanges(const std::vector<Exchange> &xs) {
    std::string out(1, (char)kPackVersion);
    const std::string *from = nullptr;
    for (const Exchange &e : xs) {
        putVarint(&out, e.attempts);
        out.push_back((char)e.request.code);
        out.push_back((char)e.request.byteArg);
        putVarint(&out, e.request.value1);
        putVarint(&out, e.request.value2);
        putVarint(&out, e.request.value3);
        out.push_back((char)e.request.chain);
        uint8_t flags = 0;
        if (e.reply) flags |= kHasReply;
        if (e.reply && from && *from == e.reply->from) flags |= kSameFrom;
        out.push_back((char)flags);
        if (!e.reply) continue;
        const ReplyFields &y = *e.reply;
        out.push_back((char)y.code);
        out.push_back((char)y.byteArg);
        putVarint(&out, y.value1);
        putVarint(&out, y.value2);
        putVarint(&out, y.value3);
        putVarint(&out, y.half);
        if (!(flags & kSameFrom)) {
            putVarint(&out, y.from.size());
            out += y.from;
            from = &y.from;
        }
    }
    return out;
}

bool unpackExchanges(const std::string &in, std::vector<Exchange> *out) {
    size_t at = 0;
    uint8_t version = 0;
    if (!getByte(in, &at, &version) || version != kPackVersion) return false;
    std::string from;
    while (at < in.size()) {
        Exchange e;
        uint64_t a = 0, v1 = 0, v2 = 0, v3 = 0, half = 0, len = 0;
        uint8_t flags = 0;
        if (!getVarint(in, &at, &a) || !getByte(in, &at, &e.request.code) || !getByte(in, &at, &e.request.byteArg) ||
            !getVarint(in, &at, &v1) || !getVarint(in, &at, &v2) || !getVarint(in, &at, &v3) ||
            !getByte(in, &at, &e.request.chain) || !getByte(in, &at, &flags))
            return false;
        e.attempts = (unsigned)a;
        e.request.value1 = (uint32_t)v1, e.request.value2 = (uint32_t)v2, e.request.value3 = (uint32_t)v3;
        if (flags & kHasReply) {
            ReplyFields y;
            if (!getByte(in, &at, &y.code) || !getByte(in, &at, &y.byteArg) || !getVarint(in, &at, &v1) ||
                !getVarint(in, &at, &v2) || !getVarint(in, &at, &v3) || !getVarint(in, &at, &half))
                return false;
            y.value1 = (uint32_t)v1, y.value2 = (uint32_t)v2, y.value3 = (uint32_t)v3, y.half = (uint16_t)half;
            if (!(flags & kSameFrom)) {
                if (!getVarint(in, &at, &len) || len > in.size() - at) return false;
                from = in.substr(at, len);
                at += len;
            }
            y.from = from;
            e.reply = y;
        }
        out->push_back(e);
    }
    return true;
}

bool insertRecordPg(Connection &c, const Record &r, const std::string &digest) {
    Params p;
    std::string q = insertStatement(r, digest, &p);
    int64_t n = 0;
    c.query(q, p, [&](const Row &row) { n = row.integer(0); });
    return n > 0;
}

namespace {

void loadPgSteps(Connection &c, const Params &key, Record *r) {
    c.query("SELECT step_index, line, command, args, " + sql::timeText(db::Dialect::Postgres, "started_at") +
                ", duration_s, verdict, error, exchanges FROM steps"
                " WHERE record_started = $2::timestamptz AND record_id = $1::uuid ORDER BY step_index",
            key, [&](const Row &row) {
                if (row.integer(0) != (int64_t)r->steps.size())
                    throw StoreError("record " + r->id + ": its steps are not numbered 0, 1, 2...");
                Step s = stepAtRow(row, 1);
                std::string packed;
                if (!row.isNull(8) && (!byteaBytes(row.text(8), &packed) || !unpackExchanges(packed, &s.exchanges)))
                    throw StoreError("record " + r->id + ": the exchanges of a step cannot be read");
                r->steps.push_back(std::move(s));
            });
}

void loadPgMeasurementsAndSeries(Connection &c, const Params &key, Record *r) {
    auto stepAt = [&](int64_t i) -> Step & {
        if (i < 0 || i >= (int64_t)r->steps.size())
            throw StoreError("record " + r->id + ": a row names a step that is not there");
        return r->steps[(size_t)i];
    };
    c.query("SELECT step_index, name, value::text, low::text, high::text, verdict FROM measurement_rows"
            " WHERE record_started = $2::timestamptz AND record_id = $1::uuid ORDER BY step_index, measurement_index",
            key, [&](const Row &row) {
                Measurement m;
                m.name = row.text(1);
                m.value = realOf(row, 2);
                if (!row.isNull(3)) m.low = realOf(row, 3);
                if (!row.isNull(4)) m.high = realOf(row, 4);
                m.verdict = verdictAt(row, 5);
                stepAt(row.integer(0)).measurements.push_back(m);
            });
    c.query("SELECT s.step_index, s.series_index, s.name, x.n, x.u FROM series s,"
            " unnest(s.col_names, s.col_units) WITH ORDINALITY AS x(n, u, i)"
            " WHERE s.record_started = $2::timestamptz AND s.record_id = $1::uuid ORDER BY 1, 2, x.i",
            key, [&](const Row &row) {
                std::vector<Series> &all = stepAt(row.integer(0)).series;
                if (row.integer(1) == (int64_t)all.size()) all.push_back(Series{row.text(2), {}, {}});
                all.back().columns.push_back({row.text(3), row.text(4)});
            });
    c.query("SELECT s.step_index, s.series_index, x.v::text, x.i FROM series s, unnest(s.vals) WITH ORDINALITY AS x(v, i)"
            " WHERE s.record_started = $2::timestamptz AND s.record_id = $1::uuid ORDER BY 1, 2, x.i",
            key, [&](const Row &row) {
                std::vector<Series> &all = stepAt(row.integer(0)).series;
                int64_t t = row.integer(1);
                if (t < 0 || t >= (int64_t)all.size())
                    throw StoreError("record " + r->id + ": a series value names a series that is not there");
                Series &x = all[(size_t)t];
                if (x.rows.empty() || x.rows.back().size() == x.columns.size()) x.rows.emplace_back();
                x.rows.back().push_back(realOf(row, 2));
            });
}

}  // namespace

std::optional<Record> loadRecordPg(Connection &c, const std::string &id) {
    db::Dialect d = db::Dialect::Postgres;
    Record r;
    bool found = false;
    if (!isRecordId(id)) return std::nullopt;
    c.query("SELECT record_id, serial, station, operator, plan_name, plan_sha256, " + sql::timeText(d, "started_at") +
                ", " + sql::timeText(d, "ended_at") + ", verdict FROM records WHERE record_id = $1::uuid",
            {id}, [&](const Row &row) {
                found = true;
                recordHeadAtRow(row, &r);
            });
    if (!found) return std::nullopt;
    Params key = {id, r.startedAt};
    c.query("SELECT key, value FROM record_metadata WHERE record_started = $2::timestamptz AND record_id = $1::uuid",
            key, [&](const Row &row) { r.metadata[row.text(0)] = row.text(1); });
    loadPgSteps(c, key, &r);
    loadPgMeasurementsAndSeries(c, key, &r);
    return r;
}


void ensureMonth(Connection &c, const std::string &utcTime) {
    db::transaction(c, [&] { c.query("SELECT rfprobe_month($1::timestamptz)", {utcTime}, [](const Row &) {}); });
}

void migratePostgresRecords(Connection &c, const char *schema3) {
    const char *old[] = {"records", "record_metadata", "steps", "exchanges", "measurements", "series_columns",
                         "series_values"};
    c.exec("CREATE SCHEMA rfprobe_version2");
    for (const char *t : old) c.exec(std::string("ALTER TABLE ") + t + " SET SCHEMA rfprobe_version2");
    c.exec(schema3);
    std::string path;
    c.query("SELECT current_setting('search_path')", {}, [&](const Row &row) { path = row.text(0); });
    std::vector<std::string> months;
    c.query("SELECT DISTINCT to_char(date_trunc('month', started_at AT TIME ZONE 'UTC'), 'YYYY-MM-DD\"T00:00:00Z\"')"
            " FROM rfprobe_version2.records", {}, [&](const Row &row) { months.push_back(row.text(0)); });
    for (const std::string &m : months) c.query("SELECT rfprobe_month($1::timestamptz)", {m}, [](const Row &) {});
    std::vector<std::pair<std::string, std::string>> ids;  // id, digest as stored
    c.query("SELECT record_id, digest FROM rfprobe_version2.records ORDER BY started_at, record_id", {},
            [&](const Row &row) { ids.emplace_back(row.text(0), row.text(1)); });
    for (const auto &id : ids) {
        c.exec("SET LOCAL search_path TO rfprobe_version2");
        std::optional<Record> r = loadRecordRows(c, id.first);
        c.exec("SET LOCAL search_path TO " + path);
        if (!r) throw StoreError("record " + id.first + " could not be read while migrating the store");
        insertRecordPg(c, *r, id.second);
    }
    // The golden checks of records that were there: stored as they started.
    c.exec("UPDATE golden_checks SET stored_at = started_at");
    c.exec("DROP SCHEMA rfprobe_version2 CASCADE");
}

}  // namespace results
