// From what the station saw to the steps of a record.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "format/text.h"
#include "line/line.h"
#include "station/link/output.h"
#include "station/step/step.h"

namespace line {

namespace {

results::RequestFields requestFields(const TestMsg &m) {
    return {m.cmdType, m.byteArg, m.value1, m.value2, m.value3, m.chain};
}

// "198.18.0.1:1062" -> "198.18.0.1".
std::string address(const char *from) {
    std::string a = from;
    size_t colon = a.rfind(':');
    return colon == std::string::npos ? a : a.substr(0, colon);
}

// The step's error as record text.  It may hold a tester's message, and
// snprintf may have cut a character in half to fit it into the buffer:
// neither may cost the record.
std::string stepError(const station::StepResult &r) {
    std::string_view e(r.error, strnlen(r.error, sizeof r.error));
    if (e.size() + 1 >= sizeof r.error) e = format::withoutCutTail(e);  // full: perhaps cut
    std::string t = format::printableUtf8(e, results::kMaxText);
    return t.empty() ? "error" : t;
}

results::Measurement measurement(const std::string &name, double value,
                                 const station::Limit &l = {false, false, 0, 0},
                                 station::Verdict v = station::Verdict::Pass) {
    results::Measurement m;
    m.name = name;
    m.value = value;
    if (l.hasLow) m.low = l.low;
    if (l.hasHigh) m.high = l.high;
    m.verdict = v;
    return m;
}

bool inDetail(const station::StepDetail &d, const std::string &name) {
    for (const station::RecordedValue &v : d.values)
        if (v.name == name) return true;
    return false;
}

// A step's series as the record keeps them: name, columns and rows.
std::vector<results::Series> recordSeries(const station::StepDetail &d) {
    std::vector<results::Series> out;
    for (const station::RecordedSeries &s : d.series) {
        results::Series x;
        x.name = s.decl->name;
        for (uint8_t k = 0; k < s.decl->columnCount; ++k)
            x.columns.push_back({s.decl->columns[k].name, s.decl->columns[k].unit});
        x.rows = s.rows;
        out.push_back(std::move(x));
    }
    return out;
}

}  // namespace

results::Step recordStep(const station::PlanStep &s, const station::StepResult &r,
                         const std::string &startedAt, double seconds) {
    results::Step out;
    out.line = s.planLine;
    out.command = s.action.cmd->word;
    out.args = s.args;
    // A step with many requests and values keeps them in its detail
    // (station/step/step.h).
    const station::Exchanged *xs = r.detail ? r.detail->exchanges.data() : r.exchanges;
    size_t xn = r.detail ? r.detail->exchanges.size() : r.exchangeCount;
    for (size_t k = 0; k < xn; ++k) {
        const station::Exchanged &x = xs[k];
        results::Exchange e;
        e.request = requestFields(x.req);
        e.attempts = x.attempts ? x.attempts : 1;
        if (x.replied)
            e.reply = results::ReplyFields{x.reply.cmdType, x.reply.byteArg,
                                           x.reply.value1,  x.reply.value2,
                                           x.reply.value3,  station::replyHalf(x.reply),
                                           address(x.from)};
        out.exchanges.push_back(e);
    }
    // The verdicts are the station's, as its screen showed them: the
    // record layer checks them (results::validateRecord), never decides.
    // A detail's values (every point), then the screen's figures it does
    // not hold already (tx-sweep's furthest point): a step records each
    // name once.
    if (r.detail)
        for (const station::RecordedValue &v : r.detail->values)
            out.measurements.push_back(measurement(v.name, v.value, v.limit, v.verdict));
    for (unsigned k = 0; k < r.measuredCount; ++k) {
        const station::Measured &m = r.measured[k];
        if (r.detail && inDetail(*r.detail, m.name)) continue;
        out.measurements.push_back(measurement(m.name, m.value, m.limit, m.verdict));
    }
    if (r.detail) out.series = recordSeries(*r.detail);
    if (r.tester) {
        // What the tester's figures rest on: the cable's loss, how long the
        // unit waited for the tester it shares with the line and how long
        // it kept the tester from the others.
        auto milli = [](double v) { return std::round(v * 1000) / 1000; };
        out.measurements.push_back(measurement("path_loss", milli(r.lossDb)));
        out.measurements.push_back(measurement("tester_wait_ms", milli(r.testerWaitMs)));
        out.measurements.push_back(measurement("tester_held_ms", milli(r.testerHeldMs)));
    }
    if (r.verdict == station::Verdict::Error) out.error = stepError(r);
    out.verdict = r.verdict;
    out.startedAt = startedAt;
    out.durationS = seconds < 0 ? 0 : std::round(seconds * 1e6) / 1e6;  // to the microsecond
    return out;
}

std::string testerIdnText(const std::string &idn) {
    std::string t = format::printableUtf8(idn, results::kMaxText);
    return t.empty() ? "(did not answer)" : t;
}

std::string describeStep(const station::PlanStep &s, const station::StepResult &r) {
    char head[96];
    snprintf(head, sizeof head, "line %d %s: %s", s.planLine, s.action.cmd->word,
             station::verdictName(r.verdict));
    std::string out = head;
    if (r.verdict == station::Verdict::Error) return out + ": " + r.error;
    for (unsigned k = 0; k < r.measuredCount; ++k) {
        char d[160];
        station::describeMeasured(r.measured[k], d, sizeof d);
        out += (k ? "; " : ": ") + std::string(d);
    }
    return out;
}

}  // namespace line
