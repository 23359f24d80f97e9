// rfprobe station: limits on what a step measures, and verdicts.
//
// A step of rx or stop-rx measures "count" (the received count as a signed
// 32-bit number: a counter that went down is negative and fails a lower
// limit); a step of pa-read measures "pa1", "pa2", "pa3" (the coefficients
// as signed 16-bit numbers).  Limits are inclusive and either end may be
// missing.  A step ends PASS, FAIL (a value outside its limits) or ERROR
// (no reply, a socket error, an interrupt).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "proto/testmsg.h"
#include "station/args/command.h"
#include "station/verdict.h"

namespace station {

struct Limit {
    bool hasLow;
    bool hasHigh;
    double low;
    double high;
};

// The most values one step measures on the screen and in the limits:
// tx-measure's five.
constexpr int kMaxMeasured = 5;

// A step's limits as its command line gives them.
struct StepLimits {
    Limit common;               // --min, --max: every value the step measures
    Limit each[kMaxMeasured];   // --pa1..--pa3: one coefficient, in place of common
    bool eachSet[kMaxMeasured];
    bool stopOnFail;            // a missed limit ends the plan after this step

    bool any() const;
};

// One measured value, with the limit that applied and its verdict (Pass or
// Fail): the one type a step's figures travel in, to the screen, the
// record's writer and the operator page.
struct Measured {
    std::string name;
    double value = 0;
    Limit limit{false, false, 0, 0};
    Verdict verdict = Verdict::Pass;
};

// The values a reply of a command that measures `what` carries, checked
// against lim.  Returns how many (0 for Measures::Nothing).
int measureReply(Measures what, const TestMsg &reply, const StepLimits &lim,
                 Measured out[kMaxMeasured]);

// A value against a limit.
Measured checkMeasured(const std::string &name, double value, const Limit &l);

// The value as people read it: at its resolution with its unit ("7.84
// dBm", station/measures.h), unless rounding would put it on the other
// side of a limit than its verdict says ("21.00 dBm above 21 dBm"): then
// with every digit it has.
std::string shownValue(const Measured &m);

// "count 1990 in 950..1050", "count 12 below 950", "power 7.84 dBm in
// 5..21 dBm", "evm -36.9 dB, at most -25 dB": the value at its resolution
// with its unit (station/measures.h), the limits as the plan gave them.
void describeMeasured(const Measured &m, char *buf, size_t len);

// The worst of two exit statuses by the order the manual gives:
// 5 (store), 130, 1 (FAIL), 3 and 4 (the first one kept), 0.
int worseStatus(int a, int b);

}  // namespace station
