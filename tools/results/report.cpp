// Reports as text and CSV, from the store's report queries.
#include "results/report.h"

#include "format/csv.h"
#include "format/table.h"
#include "format/text.h"
#include "station/measures.h"

namespace results {

// ---- text --------------------------------------------------------------------

namespace {

std::string num(int64_t v) { return std::to_string(v); }

}  // namespace

std::string formatReport(Store &s, const RecordFilter &f) {
    return formatReport(s, f, "UTC", s.yieldByPlanDay(f));
}

std::string formatReport(Store &s, const RecordFilter &f, const std::string &zone,
                         const std::vector<YieldRow> &yieldRows) {
    auto text = [](const format::Table &t) { return t.empty() ? std::string("(none)\n") : t.text(); };
    std::string out = "Yield per plan and day (" + zone + ")\n";
    format::Table yield({{"PLAN"}, {"DAY"}, {"RECORDS", true}, {"UNITS", true}, {"PASS", true},
                         {"FAIL", true}, {"ERROR", true}, {"YIELD", true}});
    for (const YieldRow &y : yieldRows)
        yield.row({y.plan, y.day, num(y.records), num(y.units), num(y.pass), num(y.fail), num(y.error),
                   format::fixed(100.0 * y.yield(), 1) + "%"});
    out += text(yield);

    out += "\nFailures by step (most frequent first)\n";
    format::Table failures({{"PLAN"}, {"LINE", true}, {"STEP"}, {"FAIL", true}, {"ERROR", true}, {"RUNS", true}});
    for (const FailureRow &x : s.failuresByStep(f))
        failures.row({x.plan, num(x.line), x.command, num(x.fail), num(x.error), num(x.runs)});
    out += text(failures);

    out += "\nMeasured values per step\n";
    format::Table stats({{"PLAN"}, {"LINE", true}, {"STEP"}, {"MEASUREMENT"}, {"COUNT", true},
                         {"MIN", true}, {"MEDIAN", true}, {"MAX", true}});
    for (const StatRow &st : s.measurementStats(f)) {
        auto shown = [&](double v) { return station::measureText(st.measurement, v); };
        stats.row({st.plan, num(st.line), st.command, st.measurement, num(st.count), shown(st.min),
                   shown(st.median), shown(st.max)});
    }
    out += text(stats);
    return out;
}

// ---- CSV -----------------------------------------------------------------------

int64_t exportCsv(Store &s, const RecordFilter &f, std::ostream &out) {
    out << "record_id,serial,station,operator,plan,plan_sha256,started_at,ended_at,verdict,"
           "step_index,line,command,args,step_verdict,error,duration_s,"
           "measurement,value,low,high,measurement_verdict\n";
    int64_t n = 0;
    auto opt = [](const std::optional<double> &d) { return d ? format::number(*d) : std::string(); };
    auto optInt = [](const std::optional<int64_t> &i) { return i ? num(*i) : std::string(); };
    s.exportRows(f, [&](const ExportRow &x) {
        std::string line;
        format::csvRow(&line, {x.record.id, x.record.serial, x.record.station, x.record.operatorName,
                               x.record.planName, x.planSha256, x.record.startedAt, x.record.endedAt,
                               verdictName(x.record.verdict), optInt(x.stepIndex), optInt(x.line),
                               x.command, x.args, x.stepVerdict, x.error, opt(x.durationS), x.measurement,
                               opt(x.value), opt(x.low), opt(x.high), x.measurementVerdict});
        out << line;
        n++;
    });
    return n;
}

}  // namespace results
