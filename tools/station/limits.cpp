// rfprobe station: limits on what a step measures, and verdicts.
#include "station/limits.h"

#include <cstdio>
#include <string>

#include "format/text.h"
#include "station/args.h"
#include "station/output.h"

namespace station {

bool StepLimits::any() const {
    if (common.hasLow || common.hasHigh) return true;
    for (int k = 0; k < kMaxMeasured; ++k)
        if (eachSet[k]) return true;
    return false;
}

namespace {

Measured check(const char *name, double value, const Limit &l) {
    return {name, value, l, limitVerdict(value, l.hasLow, l.low, l.hasHigh, l.high)};
}

}  // namespace

int measureReply(Measures what, const TestMsg &reply, const StepLimits &lim,
                 Measured out[kMaxMeasured]) {
    switch (what) {
    case Measures::Nothing:
        return 0;
    case Measures::Count:
        out[0] = check("count", (double)(int32_t)reply.value1, lim.common);
        return 1;
    case Measures::Coefficients: {
        static const char *const names[kMaxMeasured] = {"pa1", "pa2", "pa3"};
        const uint32_t v[kMaxMeasured] = {reply.value1, reply.value2, reply.value3};
        for (int k = 0; k < kMaxMeasured; ++k)
            out[k] = check(names[k], lowSigned16(v[k]), lim.eachSet[k] ? lim.each[k] : lim.common);
        return kMaxMeasured;
    }
    }
    return 0;
}

void describeMeasured(const Measured &m, char *buf, size_t len) {
    const Limit &l = m.limit;
    std::string v = format::number(m.value), lo = format::number(l.low), hi = format::number(l.high);
    if (m.verdict == Verdict::Fail && l.hasLow && m.value < l.low)
        snprintf(buf, len, "%s %s below %s", m.name, v.c_str(), lo.c_str());
    else if (m.verdict == Verdict::Fail)
        snprintf(buf, len, "%s %s above %s", m.name, v.c_str(), hi.c_str());
    else if (l.hasLow && l.hasHigh)
        snprintf(buf, len, "%s %s in %s..%s", m.name, v.c_str(), lo.c_str(), hi.c_str());
    else if (l.hasLow)
        snprintf(buf, len, "%s %s, at least %s", m.name, v.c_str(), lo.c_str());
    else if (l.hasHigh)
        snprintf(buf, len, "%s %s, at most %s", m.name, v.c_str(), hi.c_str());
    else
        snprintf(buf, len, "%s %s", m.name, v.c_str());
}

int worseStatus(int a, int b) {
    static const int order[] = {kExitStore, kExitInterrupted, kExitFail};
    for (int s : order)
        if (a == s || b == s) return s;
    return a != kExitOk ? a : b;
}

}  // namespace station
