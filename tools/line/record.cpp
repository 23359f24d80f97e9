// From what the station saw to the steps of a record.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "format/text.h"
#include "line/line.h"
#include "station/output.h"
#include "station/pa_cal_step.h"

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

}  // namespace

results::Step recordStep(const station::PlanStep &s, const station::StepResult &r,
                         const std::string &startedAt, double seconds) {
    results::Step out;
    out.line = s.planLine;
    out.command = s.action.cmd->word;
    out.args = s.args;
    // pa-cal keeps its many exchanges and values apart (pa_cal_step.h).
    const station::Exchanged *xs = r.paCal ? r.paCal->exchanges.data() : r.exchanges;
    size_t xn = r.paCal ? r.paCal->exchanges.size() : r.exchangeCount;
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
    if (r.paCal) {
        for (const station::PaCalValue &v : r.paCal->values) {
            results::Measurement rm;
            rm.name = v.name;
            rm.value = v.value;
            if (v.hasLow) rm.low = v.low;
            if (v.hasHigh) rm.high = v.high;
            out.measurements.push_back(rm);
        }
    }
    for (unsigned k = 0; k < r.measuredCount && !r.paCal; ++k) {
        const station::Measured &m = r.measured[k];
        results::Measurement rm;
        rm.name = m.name;
        rm.value = m.value;
        if (m.limit.hasLow) rm.low = m.limit.low;
        if (m.limit.hasHigh) rm.high = m.limit.high;
        out.measurements.push_back(rm);
    }
    if (r.tester) {
        // What the tester's figures rest on: the cable's loss, how long the
        // unit waited for the tester it shares with the line and how long
        // it kept the tester from the others.
        results::Measurement loss, wait, held;
        loss.name = "path_loss";
        loss.value = std::round(r.lossDb * 1000) / 1000;
        wait.name = "tester_wait_ms";
        wait.value = std::round(r.testerWaitMs * 1000) / 1000;
        held.name = "tester_held_ms";
        held.value = std::round(r.testerHeldMs * 1000) / 1000;
        out.measurements.push_back(loss);
        out.measurements.push_back(wait);
        out.measurements.push_back(held);
    }
    if (r.verdict == station::Verdict::Error) out.error = stepError(r);
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
