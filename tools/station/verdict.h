// Verdicts: the one type and the one rule for a measurement, a step and a
// whole plan run.  The station prints them and the records store them, so
// both take them from here: what the screen says is what the record holds.
// No dependencies (the station builds without the results library for the
// router's cross build; the results library links this too).
#pragma once

#include <cstddef>
#include <cstdint>

namespace station {

enum class Verdict : uint8_t { Pass, Fail, Error };

// "PASS", "FAIL", "ERROR".
const char *verdictName(Verdict v);
// The inverse of verdictName; false for any other text.
bool verdictFromName(const char *name, Verdict *out);

// A measured value against inclusive limits, either end optional: PASS
// when it lies within the ends it has, else FAIL.  NaN fails.
Verdict limitVerdict(double value, bool hasLow, double low, bool hasHigh, double high);

// A step: ERROR when it erred (no reply, a socket error, an interrupt),
// else FAIL when one of its measurements failed, else PASS.
Verdict stepVerdict(bool erred, bool anyMeasurementFailed);

// A plan run (a unit's record) from the counts of its steps that ran:
// FAIL when a step failed (a finding about the unit wins over an error
// elsewhere), else ERROR when a step erred, else PASS.  A run without
// steps tested nothing and is ERROR.
Verdict planVerdict(size_t stepsRun, size_t failed, size_t erred);

}  // namespace station
