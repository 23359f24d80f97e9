// rfprobe station: the pa-cal step, PA calibration of one chain on the
// line's tester.  The loop itself (measure, fit, write, verify, rounds,
// the originals back on anything but PASS) is pacal::calibrate
// (pacal/calibrate.h); this file drives it through the agent and the
// unit's StepTester, and keeps what it did for the record.
#pragma once

#include <string>
#include <vector>

#include "pacal/calibrate.h"

namespace station {

struct Link;
struct Options;
struct Action;
struct StepContext;
struct StepResult;
struct Exchanged;

// One measured value of the record, with its limits (either end optional).
struct PaCalValue {
    std::string name;
    double value = 0;
    bool hasLow = false, hasHigh = false;
    double low = 0, high = 0;
};

// Everything a pa-cal step did, for the record: every request and reply,
// and the values (coefficients before and after, every point, the fit's
// checks, the rounds, the verify errors).
struct PaCalDetail {
    int chain = 0;
    pacal::CalResult cal;
    std::vector<Exchanged> exchanges;
    std::vector<PaCalValue> values;
};

// The values of a calibration as the record names them (docs/station.md):
// pa1_before..pa3_before, pa1..pa3 (what the chain holds after the step),
// p<k>_set, p<k>_code, p<k>_measured, p<k>_loss, p<k>_round, p<k>_verify
// for every point k = 1.. (p<k>_clamped or p<k>_outlier, 1, where the point
// was left out of the fits), safe_start (1, where the chain's coefficients
// could not be used), the fit's checks (determined, bounds: 1 or 0, at
// least 1; residual in dB, at most the limit; monotonic), rounds (at most
// --max-rounds), measurements, noise and guard_band (dB), verify_error_<power>
// (dB, within +-(tolerance - guard band)) for every power of the last
// verify, and range_error (dB, the worst the fit on all points predicts
// over the range, within the same limit) with range_error_at (dBm).
std::vector<PaCalValue> paCalValues(const pacal::CalResult &r, const pacal::CalOptions &o);

// The step: set-antenna CHAIN, then the loop with set-tx at the plan's
// last rate and bandwidth, start-tx, the tester's measurement and stop-tx
// for every point, pa-init, pa-write and pa-read (the chain read back) for
// every write.  Holds the tester only for each point's tester work, never
// for router-only work.
void runPaCal(const Link &l, const Options &opt, const Action &a, StepContext *ctx, StepResult *r);

}  // namespace station
