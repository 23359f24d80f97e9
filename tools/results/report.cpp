// Reports: the aggregate queries and their text and CSV forms.
#include "results/report.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "results/db.h"
#include "results/sql.h"
#include "results/util.h"

namespace results {

using db::Connection;
using db::Dialect;
using db::Params;
using db::Row;

namespace {

// Runs fn on the store's connection under its lock; database errors become
// StoreError.
template <typename Fn>
void withStore(Store &s, Fn fn) {
    auto held = s.lock();
    try {
        fn(s.connection());
    } catch (const db::Error &e) {
        throw StoreError(e.what());
    }
}

}  // namespace

std::vector<YieldRow> yieldByPlanDay(Store &s, const RecordFilter &f) {
    std::vector<YieldRow> rows;
    withStore(s, [&](Connection &c) {
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

std::vector<FailureRow> failuresByStep(Store &s, const RecordFilter &f) {
    std::vector<FailureRow> rows;
    withStore(s, [&](Connection &c) {
        Params p;
        std::string q = "SELECT r.plan_name, st.line, st.command,"
                        " sum(CASE WHEN st.verdict = 'FAIL' THEN 1 ELSE 0 END),"
                        " sum(CASE WHEN st.verdict = 'ERROR' THEN 1 ELSE 0 END), count(*)"
                        " FROM steps st JOIN records r ON r.record_id = st.record_id" +
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

std::vector<StatRow> measurementStats(Store &s, const RecordFilter &f) {
    std::vector<StatRow> rows;
    std::vector<double> values;
    auto finish = [&] {
        if (values.empty()) return;
        StatRow &st = rows.back();
        std::sort(values.begin(), values.end());
        size_t n = values.size();
        st.count = (int64_t)n;
        st.min = values.front();
        st.max = values.back();
        st.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        values.clear();
    };
    withStore(s, [&](Connection &c) {
        Params p;
        // Rows of one group arrive together; their order is sorted below.
        std::string q = "SELECT r.plan_name, st.line, st.command, m.name, m.value"
                        " FROM measurements m"
                        " JOIN steps st ON st.record_id = m.record_id AND st.step_index = m.step_index"
                        " JOIN records r ON r.record_id = m.record_id" +
                        sql::recordWhere(c.dialect(), f, &p) +
                        " ORDER BY r.plan_name, st.line, st.command, m.name";
        c.query(q, p, [&](const Row &row) {
            std::string plan = row.text(0), command = row.text(2), name = row.text(3);
            int line = (int)row.integer(1);
            if (rows.empty() || rows.back().plan != plan || rows.back().line != line ||
                rows.back().command != command || rows.back().measurement != name) {
                finish();
                StatRow st;
                st.plan = plan;
                st.line = line;
                st.command = command;
                st.measurement = name;
                rows.push_back(st);
            }
            values.push_back(row.real(4));
        });
        finish();
    });
    std::sort(rows.begin(), rows.end(), [](const StatRow &a, const StatRow &b) {
        return std::tie(a.plan, a.line, a.command, a.measurement) <
               std::tie(b.plan, b.line, b.command, b.measurement);
    });
    return rows;
}

// ---- text --------------------------------------------------------------------

namespace {

// Columns left-aligned, numbers (rightAligned[i]) right-aligned.
std::string table(const std::vector<std::string> &head, const std::vector<bool> &rightAligned,
                  const std::vector<std::vector<std::string>> &rows) {
    if (rows.empty()) return "(none)\n";
    std::vector<size_t> w(head.size());
    for (size_t i = 0; i < head.size(); i++) w[i] = head[i].size();
    for (const auto &r : rows)
        for (size_t i = 0; i < r.size(); i++) w[i] = std::max(w[i], r[i].size());
    std::string out;
    auto line = [&](const std::vector<std::string> &cells) {
        std::string l;
        for (size_t i = 0; i < cells.size(); i++) {
            std::string pad(w[i] - cells[i].size(), ' ');
            if (i) l += "  ";
            l += rightAligned[i] ? pad + cells[i] : cells[i] + (i + 1 < cells.size() ? pad : "");
        }
        out += l + "\n";
    };
    line(head);
    for (const auto &r : rows) line(r);
    return out;
}

std::string num(int64_t v) { return std::to_string(v); }

}  // namespace

std::string formatReport(Store &s, const RecordFilter &f) {
    return formatReport(s, f, "UTC", yieldByPlanDay(s, f));
}

std::string formatReport(Store &s, const RecordFilter &f, const std::string &zone,
                         const std::vector<YieldRow> &yield) {
    std::string out = "Yield per plan and day (" + zone + ")\n";
    std::vector<std::vector<std::string>> rows;
    for (const YieldRow &y : yield) {
        char pct[16];
        snprintf(pct, sizeof pct, "%.1f%%", 100.0 * y.yield());
        rows.push_back({y.plan, y.day, num(y.records), num(y.units), num(y.pass), num(y.fail), num(y.error),
                        pct});
    }
    out += table({"PLAN", "DAY", "RECORDS", "UNITS", "PASS", "FAIL", "ERROR", "YIELD"},
                 {false, false, true, true, true, true, true, true}, rows);

    out += "\nFailures by step (most frequent first)\n";
    rows.clear();
    for (const FailureRow &x : failuresByStep(s, f))
        rows.push_back({x.plan, num(x.line), x.command, num(x.fail), num(x.error), num(x.runs)});
    out += table({"PLAN", "LINE", "STEP", "FAIL", "ERROR", "RUNS"}, {false, true, false, true, true, true},
                 rows);

    out += "\nMeasured values per step\n";
    rows.clear();
    for (const StatRow &st : measurementStats(s, f))
        rows.push_back({st.plan, num(st.line), st.command, st.measurement, num(st.count),
                        formatNumber(st.min), formatNumber(st.median), formatNumber(st.max)});
    out += table({"PLAN", "LINE", "STEP", "MEASUREMENT", "COUNT", "MIN", "MEDIAN", "MAX"},
                 {false, true, false, false, true, true, true, true}, rows);
    return out;
}

// ---- CSV -----------------------------------------------------------------------

std::string csvField(const std::string &s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos &&
        (s.empty() || (s.front() != ' ' && s.back() != ' ')))
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

int64_t exportCsv(Store &s, const RecordFilter &f, std::ostream &out) {
    out << "record_id,serial,station,operator,plan,plan_sha256,started_at,ended_at,verdict,"
           "step_index,line,command,args,step_verdict,error,duration_s,"
           "measurement,value,low,high,measurement_verdict\n";
    int64_t n = 0;
    withStore(s, [&](Connection &c) {
        Dialect d = c.dialect();
        Params p;
        std::string q = "SELECT r.record_id, r.serial, r.station, r.operator, r.plan_name, r.plan_sha256, " +
                        sql::timeText(d, "r.started_at") + ", " + sql::timeText(d, "r.ended_at") +
                        ", r.verdict, st.step_index, st.line, st.command, st.args, st.verdict, st.error,"
                        " st.duration_s, m.name, m.value, m.low, m.high, m.verdict"
                        " FROM records r"
                        " LEFT JOIN steps st ON st.record_id = r.record_id"
                        " LEFT JOIN measurements m ON m.record_id = st.record_id"
                        " AND m.step_index = st.step_index" +
                        sql::recordWhere(d, f, &p) +
                        " ORDER BY r.started_at, r.record_id, st.step_index, m.measurement_index";
        c.query(q, p, [&](const Row &row) {
            std::string line;
            for (int i = 0; i < 21; i++) {
                std::string cell;
                if (!row.isNull(i)) {
                    bool real = i == 15 || (i >= 17 && i <= 19);
                    bool integer = i == 9 || i == 10;
                    cell = real ? formatNumber(row.real(i)) : integer ? num(row.integer(i)) : row.text(i);
                }
                if (i) line += ',';
                line += csvField(cell);
            }
            out << line << '\n';
            n++;
        });
    });
    return n;
}

}  // namespace results
