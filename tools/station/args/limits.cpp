// rfprobe station: limits on what a step measures, and verdicts.
#include "station/args/limits.h"

#include <cstdio>
#include <optional>
#include <string>

#include "format/text.h"
#include "station/args/status.h"
#include "station/measures.h"

namespace station {

bool StepLimits::any() const {
    if (common.hasLow || common.hasHigh) return true;
    for (int k = 0; k < kMaxMeasured; ++k)
        if (eachSet[k]) return true;
    return false;
}

Measured checkMeasured(const std::string &name, double value, const Limit &l) {
    return {name, value, l, limitVerdict(value, l.hasLow, l.low, l.hasHigh, l.high)};
}

namespace {
int16_t lowSigned16(uint32_t v) { return (int16_t)(uint16_t)(v & 0xFFFFu); }
Measured check(const char *name, double value, const Limit &l) { return checkMeasured(name, value, l); }
}  // namespace

int measureReply(Measures what, const TestMsg &reply, const StepLimits &lim,
                 Measured out[kMaxMeasured]) {
    switch (what) {
    case Measures::Nothing:
    case Measures::Step:  // the step's own (station/steps/)
        return 0;
    case Measures::Count:
        out[0] = check("count", (double)(int32_t)reply.value1, lim.common);
        return 1;
    case Measures::Coefficients: {
        static const char *const names[3] = {"pa1", "pa2", "pa3"};
        const uint32_t v[3] = {reply.value1, reply.value2, reply.value3};
        for (int k = 0; k < 3; ++k)
            out[k] = check(names[k], lowSigned16(v[k]), lim.eachSet[k] ? lim.each[k] : lim.common);
        return 3;
    }
    }
    return 0;
}

std::string shownValue(const Measured &m) {
    const Limit &l = m.limit;
    std::string rounded = measureNumber(m.name, m.value);
    std::optional<double> back = format::parseNumber(rounded);
    if (back && limitVerdict(*back, l.hasLow, l.low, l.hasHigh, l.high) == m.verdict)
        return withUnit(m.name, rounded);
    return withUnit(m.name, format::number(m.value));
}

// Limits keep the digits the plan gave them: rounded, a limit would read
// as another one than the one that applied.
void describeMeasured(const Measured &m, char *buf, size_t len) {
    const Limit &l = m.limit;
    std::string v = shownValue(m), lo = format::number(l.low), hi = format::number(l.high);
    const char *n = m.name.c_str();
    if (m.verdict == Verdict::Fail && l.hasLow && m.value < l.low)
        snprintf(buf, len, "%s %s below %s", n, v.c_str(), withUnit(n, lo).c_str());
    else if (m.verdict == Verdict::Fail)
        snprintf(buf, len, "%s %s above %s", n, v.c_str(), withUnit(n, hi).c_str());
    else if (l.hasLow && l.hasHigh)
        snprintf(buf, len, "%s %s in %s..%s", n, v.c_str(), lo.c_str(), withUnit(n, hi).c_str());
    else if (l.hasLow)
        snprintf(buf, len, "%s %s, at least %s", n, v.c_str(), withUnit(n, lo).c_str());
    else if (l.hasHigh)
        snprintf(buf, len, "%s %s, at most %s", n, v.c_str(), withUnit(n, hi).c_str());
    else
        snprintf(buf, len, "%s %s", n, v.c_str());
}

int worseStatus(int a, int b) {
    static const int order[] = {kExitStore, kExitInterrupted, kExitFail};
    for (int s : order)
        if (a == s || b == s) return s;
    return a != kExitOk ? a : b;
}

}  // namespace station
