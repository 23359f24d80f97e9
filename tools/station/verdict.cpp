// Verdicts: the one rule (see verdict.h).
#include "station/verdict.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

namespace station {

const char *verdictName(Verdict v) {
    switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Error: return "ERROR";
    }
    return "ERROR";
}

bool verdictFromName(const char *name, Verdict *out) {
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Error})
        if (strcmp(name, verdictName(v)) == 0) {
            *out = v;
            return true;
        }
    return false;
}

Verdict limitVerdict(double value, bool hasLow, double low, bool hasHigh, double high) {
    if (std::isnan(value)) return Verdict::Fail;
    if (hasLow && value < low) return Verdict::Fail;
    if (hasHigh && value > high) return Verdict::Fail;
    return Verdict::Pass;
}

Verdict stepVerdict(bool erred, bool anyMeasurementFailed) {
    if (erred) return Verdict::Error;
    return anyMeasurementFailed ? Verdict::Fail : Verdict::Pass;
}

Verdict planVerdict(size_t stepsRun, size_t failed, size_t erred) {
    if (stepsRun == 0) return Verdict::Error;
    if (failed) return Verdict::Fail;
    return erred ? Verdict::Error : Verdict::Pass;
}

}  // namespace station
