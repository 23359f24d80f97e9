// The reports' queries: the only SQL of the reports, run by the store.
#include <algorithm>
#include <tuple>

#include "results/rows.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Params;
using db::Row;

std::vector<YieldRow> Store::yieldByPlanDay(const RecordFilter &f) {
    std::vector<YieldRow> rows;
    withConnection([&](Connection &c) {
        Params p;
        std::string q = "SELECT r.plan_name, " + sql::dayText(c.dialect(), "r.started_at") +
                        ", count(*), count(DISTINCT r.serial),"
                        " sum(CASE WHEN r.verdict = 'PASS' THEN 1 ELSE 0 END),"
                        " sum(CASE WHEN r.verdict = 'FAIL' THEN 1 ELSE 0 END),"
                        " sum(CASE WHEN r.verdict = 'ERROR' THEN 1 ELSE 0 END)"
                        " FROM records r" +
                        sql::recordWhere(c.dialect(), f, &p) + " GROUP BY 1, 2";
        c.query(q, p, [&](const Row &row) {
            YieldRow y;
            y.plan = row.text(0);
            y.day = row.text(1);
            y.records = row.integer(2);
            y.units = row.integer(3);
            y.pass = row.integer(4);
            y.fail = row.integer(5);
            y.error = row.integer(6);
            rows.push_back(y);
        });
    });
    // Sorted here, not by the server: its collation may not be bytewise.
    std::sort(rows.begin(), rows.end(), [](const YieldRow &a, const YieldRow &b) {
        return std::tie(a.plan, a.day) < std::tie(b.plan, b.day);
    });
    return rows;
}

std::vector<FailureRow> Store::failuresByStep(const RecordFilter &f) {
    std::vector<FailureRow> rows;
    withConnection([&](Connection &c) {
        Params p;
        std::string q = "SELECT r.plan_name, st.line, st.command,"
                        " sum(CASE WHEN st.verdict = 'FAIL' THEN 1 ELSE 0 END),"
                        " sum(CASE WHEN st.verdict = 'ERROR' THEN 1 ELSE 0 END), count(*)"
                        " FROM steps st JOIN records r" + sql::sameRecord(c.dialect(), "st") +
                        sql::recordWhere(c.dialect(), f, &p) +
                        " GROUP BY r.plan_name, st.line, st.command"
                        " HAVING sum(CASE WHEN st.verdict = 'PASS' THEN 0 ELSE 1 END) > 0";
        c.query(q, p, [&](const Row &row) {
            FailureRow x;
            x.plan = row.text(0);
            x.line = (int)row.integer(1);
            x.command = row.text(2);
            x.fail = row.integer(3);
            x.error = row.integer(4);
            x.runs = row.integer(5);
            rows.push_back(x);
        });
    });
    std::sort(rows.begin(), rows.end(), [](const FailureRow &a, const FailureRow &b) {
        int64_t na = a.fail + a.error, nb = b.fail + b.error;
        if (na != nb) return na > nb;
        return std::tie(a.plan, a.line, a.command) < std::tie(b.plan, b.line, b.command);
    });
    return rows;
}

std::vector<StatRow> Store::measurementStats(const RecordFilter &f) {
    std::vector<StatRow> rows;
    withConnection([&](Connection &c) {
        Params p;
        // The median by rank, in the database: the values are never all
        // here at once.  An even count's median is the mean of the middle
        // two (ranks n/2 and n/2 + 1; both (n + 1)/2 for an odd one).
        std::string q = "WITH o AS (SELECT r.plan_name AS p, m.line AS l, m.command AS c, m.name AS n, m.value AS x,"
                        " row_number() OVER (PARTITION BY r.plan_name, m.line, m.command, m.name ORDER BY m.value) AS k,"
                        " count(*) OVER (PARTITION BY r.plan_name, m.line, m.command, m.name) AS cnt"
                        " FROM measurement_rows m JOIN records r" + sql::sameRecord(c.dialect(), "m") +
                        sql::recordWhere(c.dialect(), f, &p) +
                        ") SELECT p, l, c, n, max(cnt), min(x), avg(CASE WHEN k = (cnt + 1) / 2 OR k = cnt / 2 + 1"
                        " THEN x END), max(x) FROM o GROUP BY p, l, c, n";
        c.query(q, p, [&](const Row &row) {
            StatRow st;
            st.plan = row.text(0);
            st.line = (int)row.integer(1);
            st.command = row.text(2);
            st.measurement = row.text(3);
            st.count = row.integer(4);
            st.min = row.real(5);
            st.median = row.real(6);
            st.max = row.real(7);
            rows.push_back(st);
        });
    });
    std::sort(rows.begin(), rows.end(), [](const StatRow &a, const StatRow &b) {
        return std::tie(a.plan, a.line, a.command, a.measurement) <
               std::tie(b.plan, b.line, b.command, b.measurement);
    });
    return rows;
}

void Store::exportRows(const RecordFilter &f, const std::function<void(const ExportRow &)> &each) {
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string q = "SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, r.plan_sha256, " +
                        sql::timeText(d, "r.started_at") + ", " + sql::timeText(d, "r.ended_at") +
                        ", r.verdict, st.step_index, st.line, st.command, st.args, st.verdict, st.error,"
                        " st.duration_s, m.name, m.value, m.low, m.high, m.verdict"
                        " FROM records r"
                        " LEFT JOIN steps st" + sql::sameRecord(d, "st") +
                        " LEFT JOIN measurement_rows m ON m.record_id = st.record_id"
                        " AND m.step_index = st.step_index" +
                        (d == Dialect::Postgres ? std::string(" AND m.record_started = st.record_started") : "") +
                        sql::recordWhere(d, f, &p) +
                        " ORDER BY r.started_at, r.record_id, st.step_index, m.measurement_index";
        c.query(q, p, [&](const Row &row) {
            ExportRow x;
            x.record.id = row.text(0);
            x.record.serial = row.text(1);
            x.record.station = row.text(2);
            x.record.operatorName = row.text(3);
            x.record.planName = row.text(4);
            x.planSha256 = row.text(5);
            x.record.startedAt = row.text(6);
            x.record.endedAt = row.text(7);
            x.record.verdict = verdictAt(row, 8);
            if (!row.isNull(9)) {
                x.stepIndex = row.integer(9);
                x.line = row.integer(10);
                x.command = row.text(11);
                x.args = row.text(12);
                x.stepVerdict = row.text(13);
                if (!row.isNull(14)) x.error = row.text(14);
                x.durationS = row.real(15);
            }
            if (!row.isNull(16)) {
                x.measurement = row.text(16);
                x.value = row.real(17);
                if (!row.isNull(18)) x.low = row.real(18);
                if (!row.isNull(19)) x.high = row.real(19);
                x.measurementVerdict = row.text(20);
            }
            each(x);
        });
    });
}

namespace {

std::string replaceAll(std::string s, const std::string &from, const std::string &to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size())) s.replace(p, from.size(), to);
    return s;
}

// The args and series values of the steps whose command the reader names
// (the calibration's points), in the records the filter selects.
void stepsOfCommands(Connection &c, const ReportRowReader &reader, const std::string &where, const Params &p) {
    if (reader.stepCommands.empty()) return;
    Params q = p;
    std::string in;
    for (const std::string &cmd : reader.stepCommands) {
        q.push_back(cmd);
        in += (in.empty() ? "$" : ", $") + std::to_string(q.size());
    }
    std::string ofCommands = where + (where.empty() ? " WHERE" : " AND") + " st.command IN (" + in + ")";
    if (reader.stepArgs)
        c.query("SELECT st.record_id, st.line, st.command, st.args FROM steps st"
                " JOIN records r" + sql::sameRecord(c.dialect(), "st") + ofCommands,
                q, [&](const Row &row) {
                    reader.stepArgs({row.text(0), (int)row.integer(1), row.text(2), row.text(3)});
                });
    if (reader.seriesValue)
        c.query("SELECT v.record_id, v.step_index, v.line, v.command, v.series, v.row_index, v.column_name,"
                " v.value FROM series_points v JOIN records r" + sql::sameRecord(c.dialect(), "v") +
                replaceAll(ofCommands, "st.command", "v.command"),
                q, [&](const Row &row) {
                    reader.seriesValue({row.text(0), row.integer(1), (int)row.integer(2), row.text(3),
                                        row.text(4), row.integer(5), row.text(6), row.real(7)});
                });
}

}  // namespace

void Store::reportRows(const RecordFilter &f, const ReportRowReader &reader) {
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string where = sql::recordWhere(d, f, &p);
        if (reader.record)
            c.query("SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, " +
                        sql::timeText(d, "r.started_at") + ", " + sql::timeText(d, "r.ended_at") +
                        ", r.verdict FROM records r" + where,
                    p, [&](const Row &row) { reader.record(summaryAtRow(row, 0)); });
        if (reader.metadata)
            c.query("SELECT md.record_id, md.key, md.value FROM record_metadata md"
                    " JOIN records r" + sql::sameRecord(d, "md") + where,
                    p, [&](const Row &row) { reader.metadata({row.text(0), row.text(1), row.text(2)}); });
        if (reader.failedStep)
            c.query("SELECT st.record_id, st.step_index, st.line, st.command, st.verdict FROM steps st"
                    " JOIN records r" + sql::sameRecord(d, "st") + where +
                    (where.empty() ? " WHERE" : " AND") + " st.verdict <> 'PASS'",
                    p, [&](const Row &row) {
                        FailedStep s;
                        s.recordId = row.text(0);
                        s.stepIndex = row.integer(1);
                        s.line = (int)row.integer(2);
                        s.command = row.text(3);
                        s.verdict = verdictAt(row, 4);
                        reader.failedStep(s);
                    });
        if (reader.measurement)
            c.query("SELECT m.record_id, m.step_index, m.measurement_index, m.line, m.command, m.name,"
                    " m.value, m.low, m.high, m.verdict FROM measurement_rows m"
                    " JOIN records r" + sql::sameRecord(d, "m") + where,
                    p, [&](const Row &row) {
                        MeasurementEntry m;
                        m.recordId = row.text(0);
                        m.stepIndex = row.integer(1);
                        m.index = row.integer(2);
                        m.line = (int)row.integer(3);
                        m.command = row.text(4);
                        m.name = row.text(5);
                        m.value = row.real(6);
                        if (!row.isNull(7)) m.low = row.real(7);
                        if (!row.isNull(8)) m.high = row.real(8);
                        m.failed = row.text(9) == "FAIL";
                        reader.measurement(m);
                    });
        stepsOfCommands(c, reader, where, p);
    });
}

std::optional<GoldenCheck> Store::lastGoldenCheck(const std::string &station, const std::string &port) {
    std::optional<GoldenCheck> g;
    withConnection([&](Connection &c) {
        Dialect d = c.dialect();
        c.query("SELECT record_id, serial, " + sql::timeText(d, "started_at") + ", " + sql::timeText(d, "stored_at") +
                    ", verdict FROM golden_checks WHERE station = $1 AND port = $2 ORDER BY seq DESC LIMIT 1",
                {station, port}, [&](const Row &row) {
                    g = GoldenCheck{row.text(0), row.text(1), row.text(2), row.text(3), verdictAt(row, 4)};
                });
    });
    return g;
}

}  // namespace results
