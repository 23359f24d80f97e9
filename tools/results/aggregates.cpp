// The HTML report's figures, computed by the database (aggregates.h): one
// text of SQL for both dialects, the differences in rows.h's sql pieces.
#include "results/aggregates.h"

#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Params;
using db::Row;
using db::Value;

namespace {

bool pg(const Connection &c) { return c.dialect() == Dialect::Postgres; }

// The record id as text (PostgreSQL's uuid has no max()).
std::string idText(const Connection &c) { return pg(c) ? "r.record_id::text" : "r.record_id"; }

std::string realText(const Connection &c, const std::string &col) {
    return pg(c) ? col + "::text" : "CAST(" + col + " AS TEXT)";
}

// " AND " or " WHERE " after a WHERE clause that may be empty.
std::string andAfter(const std::string &where) { return where.empty() ? " WHERE " : " AND "; }

// A finite value: NaN and the infinities compare above every number in
// PostgreSQL, and SQLite holds neither.
const char kFinite[] = "abs(m.value) <= 1.7976931348623157e308";

// " FROM records r CROSS JOIN <table> <alias> [CROSS JOIN q] WHERE ...":
// the selected records first (their index bounds the rows), then their
// rows by key, then (keys) the small table q; CROSS JOIN keeps SQLite to
// that order, PostgreSQL plans it freely.  The WHERE clause is never
// empty.
std::string recordsThen(const Connection &c, const RecordFilter &f, const std::string &table,
                        const std::string &alias, Params *p, bool keys = false) {
    std::string where = sql::recordWhere(c.dialect(), f, p);
    std::string on = alias + ".record_id = r.record_id";
    if (pg(c)) on += " AND " + alias + ".record_started = r.started_at";
    if (keys) on += " AND q.p = r.plan_name AND q.l = m.line AND q.c = m.command AND q.n = m.name";
    return " FROM records r CROSS JOIN " + table + " " + alias + (keys ? " CROSS JOIN q" : "") + " WHERE " + on +
           (where.empty() ? "" : " AND " + where.substr(7));
}

// The measurements of the selected records with their record (alias m, r).
std::string measurementsOfRecords(const Connection &c, const RecordFilter &f, Params *p) {
    return recordsThen(c, f, "measurement_rows", "m", p);
}

std::string cast(const Connection &c, const char *type) { return pg(c) ? std::string("::") + type : ""; }

// "WITH q(i, p, l, c, n, <extra>) AS (VALUES ...)" for keys, each with its
// extra values.
template <typename Req, typename Extra>
std::string keysTable(const Connection &c, const std::vector<Req> &req, const char *extraNames, Params *p,
                      Extra extra) {
    std::string v;
    for (size_t i = 0; i < req.size(); i++) {
        const MeasureKey &k = req[i].key;
        auto at = [&](Value x, const char *type) {
            p->push_back(std::move(x));
            return "$" + std::to_string(p->size()) + cast(c, type);
        };
        v += std::string(i ? ", (" : "(") + at((int64_t)i, "bigint") + ", " + at(k.plan, "text") + ", " +
             at(k.line, "integer") + ", " + at(k.command, "text") + ", " + at(k.name, "text") + extra(req[i], at) +
             ")";
    }
    return "WITH q(i, p, l, c, n, " + std::string(extraNames) + ") AS (VALUES " + v + ")";
}

std::optional<double> optReal(const Row &row, int col) {
    if (row.isNull(col)) return std::nullopt;
    return row.real(col);
}

}  // namespace

void Store::recordsInOrder(const RecordFilter &f, const std::function<void(const RecordSummary &)> &each) {
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        c.query("SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, " +
                    sql::timeText(d, "r.started_at") + ", " + sql::timeText(d, "r.ended_at") +
                    ", r.verdict FROM records r" + sql::recordWhere(d, f, &p) + " ORDER BY r.started_at, " +
                    idText(c),
                p, [&](const Row &row) { each(summaryAtRow(row, 0)); });
    });
}

std::vector<MeasureFigures> Store::measureFigures(const RecordFilter &f) {
    std::vector<MeasureFigures> out;
    withConnection([&](Connection &c) {
        Params p;
        std::string keys = "m.p = g.p AND m.l = g.l AND m.c = g.c AND m.n = g.n";
        std::string q =
            "WITH m AS (SELECT r.plan_name AS p, m.line AS l, m.command AS c, m.name AS n, m.value AS v,"
            " m.low AS lo, m.high AS hi, r.started_at AS t, " + idText(c) + " AS id, m.step_index AS si,"
            " m.measurement_index AS mi, CASE WHEN " + kFinite + " THEN 1 ELSE 0 END AS fin" +
            measurementsOfRecords(c, f, &p) + "),"
            " g AS (SELECT p, l, c, n, count(*) AS nr, sum(fin) AS nf,"
            " sum(CASE WHEN fin = 1 AND v <> 0 THEN 1 ELSE 0 END) AS held,"
            " sum(CASE WHEN (lo IS NOT NULL AND NOT (v >= lo)) OR (hi IS NOT NULL AND NOT (v <= hi))"
            " THEN 1 ELSE 0 END) AS failed,"
            " count(DISTINCT coalesce(" + realText(c, "lo") + ", '-') || '/' || coalesce(" + realText(c, "hi") +
            ", '-')) AS sets,"
            " min(CASE WHEN fin = 1 AND (v <> floor(v) OR abs(v) >= 9e15) THEN 0 ELSE 1 END) AS whole,"
            " sum(CASE WHEN fin = 1 THEN v END) AS s, min(CASE WHEN fin = 1 THEN v END) AS mn,"
            " max(CASE WHEN fin = 1 THEN v END) AS mx, max(t) AS lt FROM m GROUP BY p, l, c, n),"
            // About the smallest value: no cancellation for values far
            // from zero, and whole numbers sum exactly in any order (the
            // same figures from either database).
            " d AS (SELECT g.p, g.l, g.c, g.n, sum((m.v - g.mn) * (m.v - g.mn)) - sum(m.v - g.mn) * sum(m.v - g.mn)"
            " / g.nf AS sq"
            " FROM m CROSS JOIN g WHERE " + keys + " AND m.fin = 1 GROUP BY g.p, g.l, g.c, g.n, g.mn, g.nf),"
            " li AS (SELECT g.p, g.l, g.c, g.n, max(m.id) AS lid FROM m CROSS JOIN g WHERE " + keys +
            " AND m.t = g.lt GROUP BY g.p, g.l, g.c, g.n),"
            " lim AS (SELECT m.p, m.l, m.c, m.n, m.lo, m.hi, row_number() OVER (PARTITION BY m.p, m.l, m.c, m.n"
            " ORDER BY m.si DESC, m.mi DESC) AS k FROM m CROSS JOIN li g WHERE " + keys + " AND m.id = g.lid)"
            " SELECT g.p, g.l, g.c, g.n, g.nr, g.nf, g.held, g.failed, g.sets, g.whole, g.s, g.mn, g.mx, d.sq,"
            " lim.lo, lim.hi FROM g LEFT JOIN d ON d.p = g.p AND d.l = g.l AND d.c = g.c AND d.n = g.n"
            " LEFT JOIN lim ON lim.p = g.p AND lim.l = g.l AND lim.c = g.c AND lim.n = g.n AND lim.k = 1";
        c.query(q, p, [&](const Row &row) {
            MeasureFigures x;
            x.key = {row.text(0), (int)row.integer(1), row.text(2), row.text(3)};
            x.rows = row.integer(4);
            x.finite = row.isNull(5) ? 0 : row.integer(5);
            x.held = row.isNull(6) ? 0 : row.integer(6);
            x.failed = row.isNull(7) ? 0 : row.integer(7);
            x.limitSets = row.integer(8);
            x.whole = row.isNull(9) || row.integer(9) != 0;
            if (x.finite) {
                x.sum = row.real(10);
                x.min = row.real(11);
                x.max = row.real(12);
                x.sqDev = row.isNull(13) ? 0 : row.real(13);
            }
            x.low = optReal(row, 14);
            x.high = optReal(row, 15);
            out.push_back(std::move(x));
        });
    });
    return out;
}

void Store::measureBins(const RecordFilter &f, const std::vector<BinRequest> &req,
                        const std::function<void(size_t, int64_t, int64_t)> &each) {
    if (req.empty()) return;
    withConnection([&](Connection &c) {
        Params p;
        std::string q = keysTable(c, req, "lo, w, k", &p, [&](const BinRequest &b, auto at) {
            return ", " + at(b.lo, "float8") + ", " + at(b.width, "float8") + ", " + at(b.bins, "bigint");
        });
        std::string x = "((m.value - q.lo) / q.w)";
        q += " SELECT q.i, CASE WHEN " + x + " < 0 THEN 0 WHEN " + x + " >= q.k THEN q.k - 1 ELSE CAST(floor(" + x +
             ") AS BIGINT) END AS b, count(*)" + recordsThen(c, f, "measurement_rows", "m", &p, true) + " AND " +
             kFinite + " GROUP BY 1, 2";
        c.query(q, p, [&](const Row &row) { each((size_t)row.integer(0), row.integer(1), row.integer(2)); });
    });
}

void Store::measureRuns(const RecordFilter &f, const std::vector<RunRequest> &req,
                        const std::function<void(size_t, int64_t, const RunFigures &)> &each) {
    if (req.empty()) return;
    withConnection([&](Connection &c) {
        Params p;
        std::string q = keysTable(c, req, "f, pts", &p, [&](const RunRequest &r, auto at) {
            return ", " + at(r.finite, "bigint") + ", " + at(r.points, "bigint");
        });
        // Value rn (from 0) of n is in run k when k n / points <= rn, the
        // largest such k: ((rn + 1) points - 1) / n.
        q += ", x AS (SELECT q.i, q.f, q.pts, m.value AS v, r.started_at AS t, row_number() OVER (PARTITION BY q.i"
             " ORDER BY r.started_at, " + idText(c) + ", m.step_index, m.measurement_index) - 1 AS rn" +
             recordsThen(c, f, "measurement_rows", "m", &p, true) + " AND " + kFinite + ")"
             " SELECT i, ((rn + 1) * pts - 1) / f AS b, count(*), sum(v), min(v), max(v), " +
             sql::timeText(c.dialect(), "min(t)") + " FROM x GROUP BY i, b";
        c.query(q, p, [&](const Row &row) {
            RunFigures r{row.integer(2), row.real(3), row.real(4), row.real(5), row.text(6)};
            each((size_t)row.integer(0), row.integer(1), r);
        });
    });
}

std::vector<FailureCount> Store::failureCounts(const RecordFilter &f, int64_t *failedSteps) {
    std::vector<FailureCount> out;
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string where = sql::recordWhere(d, f, &p);
        std::string steps = " FROM steps st JOIN records r" + sql::sameRecord(d, "st");
        std::string notPass = where + andAfter(where) + "st.verdict <> 'PASS'";
        c.query("SELECT count(*)" + steps + notPass, p, [&](const Row &row) { *failedSteps = row.integer(0); });
        c.query("SELECT r.plan_name, st.line, st.command, coalesce(fm.name, ''), st.verdict, count(*)" + steps +
                    " LEFT JOIN measurement_rows fm ON fm.record_id = st.record_id AND fm.step_index = st.step_index" +
                    (d == Dialect::Postgres ? " AND fm.record_started = st.record_started" : "") +
                    " AND fm.verdict = 'FAIL'" + notPass + " GROUP BY 1, 2, 3, 4, 5",
                p, [&](const Row &row) {
                    out.push_back({row.text(0), (int)row.integer(1), row.text(2), row.text(3), verdictAt(row, 4),
                                   row.integer(5)});
                });
    });
    return out;
}

std::vector<PassYieldFigures> Store::passYields(const RecordFilter &f, YieldGroupBy by) {
    std::vector<PassYieldFigures> out;
    withConnection([&](Connection &c) {
        Params p;
        std::string g = by == YieldGroupBy::Plan ? "r.plan_name" : by == YieldGroupBy::Station ? "r.station" : "''";
        c.query("SELECT g, count(*), sum(CASE WHEN k = 1 THEN 1 ELSE 0 END),"
                " sum(CASE WHEN k = 1 AND verdict = 'PASS' THEN 1 ELSE 0 END),"
                " sum(CASE WHEN k = cnt AND verdict = 'PASS' THEN 1 ELSE 0 END)"
                " FROM (SELECT " + g + " AS g, r.verdict, row_number() OVER (PARTITION BY " + g + ", r.serial"
                " ORDER BY r.started_at, " + idText(c) + ") AS k, count(*) OVER (PARTITION BY " + g + ", r.serial)"
                " AS cnt FROM records r" + sql::recordWhere(c.dialect(), f, &p) + ") x GROUP BY g",
                p, [&](const Row &row) {
                    out.push_back({row.text(0), row.integer(1), row.integer(2), row.integer(3), row.integer(4)});
                });
    });
    return out;
}

void Store::metadataCounts(const RecordFilter &f, const std::function<void(const MetadataCount &)> &each) {
    withConnection([&](Connection &c) {
        Params p;
        c.query("SELECT md.key, md.value, count(*), sum(CASE WHEN r.verdict = 'PASS' THEN 1 ELSE 0 END),"
                " sum(CASE WHEN r.verdict = 'FAIL' THEN 1 ELSE 0 END),"
                " sum(CASE WHEN r.verdict = 'ERROR' THEN 1 ELSE 0 END) FROM record_metadata md JOIN records r" +
                    sql::sameRecord(c.dialect(), "md") + sql::recordWhere(c.dialect(), f, &p) +
                    " GROUP BY md.key, md.value ORDER BY md.key, count(*) DESC",
                p, [&](const Row &row) {
                    each({row.text(0), row.text(1), row.integer(2), row.integer(3), row.integer(4), row.integer(5)});
                });
    });
}

void Store::measurementsInOrder(const RecordFilter &f, const MeasurementSelect &sel,
                                const std::function<void(const MeasurementInOrder &)> &each) {
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string where = sql::recordWhere(d, f, &p);
        auto oneOf = [&](const char *col, const std::vector<std::string> &values) {
            std::string s;
            for (const std::string &v : values) {
                p.push_back(v);
                bool prefix = !v.empty() && v.back() == '%';
                s += std::string(s.empty() ? "" : " OR ") + col + (prefix ? " LIKE $" : " = $") + std::to_string(p.size());
            }
            if (!s.empty()) where += andAfter(where) + "(" + s + ")";
        };
        oneOf("m.command", sel.commands);
        oneOf("m.name", sel.names);
        std::string golden = sel.goldenOnly ? " JOIN golden_checks gc ON gc.record_id = r.record_id" : "";
        c.query("SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, " + sql::timeText(d, "r.started_at") +
                    ", " + sql::timeText(d, "r.ended_at") + ", r.verdict, m.step_index, m.line, m.command, st.args," +
                    (sel.goldenOnly ? " gc.port," : " '',") + " m.name, m.value, m.low, m.high" +
                    " FROM measurement_rows m JOIN records r" + sql::sameRecord(d, "m") +
                    " JOIN steps st ON st.record_id = m.record_id AND st.step_index = m.step_index" +
                    (d == Dialect::Postgres ? " AND st.record_started = m.record_started" : "") + golden + where +
                    " ORDER BY r.started_at, " + idText(c) + ", m.step_index, m.measurement_index",
                p, [&](const Row &row) {
                    MeasurementInOrder m;
                    m.record = summaryAtRow(row, 0);
                    m.stepIndex = row.integer(8);
                    m.line = (int)row.integer(9);
                    m.command = row.text(10);
                    m.args = row.text(11);
                    m.port = row.text(12);
                    m.name = row.text(13);
                    m.value = row.real(14);
                    m.low = optReal(row, 15);
                    m.high = optReal(row, 16);
                    each(m);
                });
    });
}

void Store::seriesPointsInOrder(const RecordFilter &f, const std::vector<std::string> &commands,
                                const std::function<void(const SeriesPointInOrder &)> &each) {
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string where = sql::recordWhere(d, f, &p), in;
        for (const std::string &cmd : commands) {
            p.push_back(cmd);
            in += (in.empty() ? "$" : ", $") + std::to_string(p.size());
        }
        // PostgreSQL: the selected steps' series first, then their values
        // (planned freely, it joins the steps once per value, not per
        // series, in a large store).
        std::string ofSteps = in.empty() ? "" : andAfter(where) + "st.command IN (" + in + ")";
        std::string q =
            d == Dialect::Postgres
                ? "WITH v AS MATERIALIZED (SELECT r.record_id, r.started_at, r.plan_name, r.serial, s.step_index,"
                  " st.line, st.command, st.args, s.name, s.col_names, s.vals FROM records r JOIN series s"
                  " ON s.record_started = r.started_at AND s.record_id = r.record_id JOIN steps st"
                  " ON st.record_started = s.record_started AND st.record_id = s.record_id"
                  " AND st.step_index = s.step_index" + where + ofSteps + ")"
                  " SELECT v.record_id, " + sql::timeText(d, "v.started_at") + ", v.plan_name, v.serial, v.step_index,"
                  " v.line, v.command, v.args, v.name AS series,"
                  " v.col_names[((x.i - 1) % cardinality(v.col_names)) + 1] AS column_name,"
                  " ((x.i - 1) / cardinality(v.col_names))::integer AS row_index, x.value"
                  " FROM v CROSS JOIN LATERAL unnest(v.vals) WITH ORDINALITY AS x(value, i)"
                  " ORDER BY v.started_at, v.record_id::text, v.step_index, series, row_index, column_name"
                : "SELECT r.record_id, " + sql::timeText(d, "r.started_at") + ", r.plan_name, r.serial, v.step_index,"
                  " v.line, v.command, st.args, v.series, v.column_name, v.row_index, v.value"
                  " FROM series_points v JOIN records r" + sql::sameRecord(d, "v") +
                  " JOIN steps st ON st.record_id = v.record_id AND st.step_index = v.step_index" + where + ofSteps +
                  " ORDER BY r.started_at, " + idText(c) + ", v.step_index, v.series, v.row_index, v.column_name";
        c.query(q, p, [&](const Row &row) {
                    each({row.text(0), row.text(1), row.text(2), row.text(3), row.integer(4), (int)row.integer(5),
                          row.text(6), row.text(7), row.text(8), row.text(9), row.integer(10), row.real(11)});
                });
    });
}

}  // namespace results
