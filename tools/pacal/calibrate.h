// Calibrating one chain's PA: measure the output at a few set powers, fit
// the coefficients (fit.h), write them, verify, and go round again from the
// new coefficients until every verify power is within the tolerance.
//
// The loop knows nothing of the link or the tester: it drives a Target,
// which the station implements with the agent's commands and the fixture's
// tester, and the benchmark and the tests with a simulated unit.
//
// A round's verify measurements are also points of the next round's fit
// (all points are pooled): one round of four points extrapolates where the
// unit's curve is far from the stored one, a second round covers the range
// with the first fit's codes.  That fit on all points is also the best
// estimate of the unit's curve: it decides whether the written
// coefficients hold over the whole range (the predicted error at every
// whole dBm), and its residual over its degrees of freedom is the noise of
// the tester's figures, which tightens the verify limit by a guard band so
// that noise cannot pass a unit outside the tolerance.
//
// A fit that fails on its residual, or leaves one point far from the
// curve, has that point measured again once (the worst one) before the
// calibration gives up.  Points at a clamped detector code are kept in the
// record but left out of the fits.  A chain whose stored coefficients
// cannot place a point in the range (all zero, say) starts from the
// radio's nominal curve (pamodel.h), written first.
//
// Nothing is saved to NVRAM here.  Whenever the calibration does not end
// PASS (FAIL, ERROR, interrupted) the chain's original coefficients are
// written back, if anything had been written.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pacal/fit.h"
#include "pacal/pamodel.h"

namespace pacal {

// What a calibration drives: one chain of one unit and the tester cabled
// to it.  Each call returns false with *err on an error (no reply, a tester
// fault, not-a-number): the calibration then ends ERROR.
class Target {
  public:
    virtual bool readCoeffs(Coeffs *c, std::string *err) = 0;
    // True only once the chain holds c (the station reads it back): a
    // restore counts as done on this alone.
    virtual bool writeCoeffs(const Coeffs &c, std::string *err) = 0;
    // Transmits at this set power (tenths of a dBm, as set-tx sends it) and
    // measures the output: *dbm at the unit's port, *lossDb the path loss
    // that was added to the tester's figure.
    virtual bool measure(int powerTenths, double *dbm, double *lossDb, std::string *err) = 0;
    // True once the operator asked to stop (Ctrl-C): the loop stops before
    // its next call and restores the coefficients.
    virtual bool interrupted() { return false; }

  protected:
    ~Target() = default;
};

// The set power the radio works with for a set-tx power in tenths of a dBm:
// the agent hands the driver quarter dBm, truncated toward zero in single
// precision (12.3 dBm becomes 12.25).  The detector code follows from it.
double radioSetPower(int powerTenths);

// The radio's range of set powers for --powers and --range, in dBm.
constexpr double kPowerLowDbm = 5, kPowerHighDbm = 21;

// A limit as the record keeps it: to a thousandth of a dB.  Every limit
// the loop judges with is this figure, so that what the chain keeps and
// the step's verdict (the record's) come from the same limit.
double recordedLimit(double db);

// The powers a calibration measures and verifies at when none are given:
// both ends of the range and two between, so that the error holds over
// the whole range and not only between the points.
std::vector<double> defaultPowers(double lowDbm, double highDbm);

struct CalOptions {
    std::vector<double> powers = defaultPowers(kPowerLowDbm, kPowerHighDbm);  // dBm, checkPowers
    double toleranceDb = 0.5;  // every |measured - set| at verify, before the guard band
    int maxRounds = 2;  // (maxRounds + 1) x powers is also the most measurements
    // The noise of the tester's power figure (one sigma, dB) the guard band
    // assumes before the step has seen its own points: it is pooled with
    // the step's estimate as if from kPriorFreedom points, so that a few
    // points that happen to scatter (or to agree) do not set the guard
    // band alone.
    double nominalNoiseDb = 0.1;
    // limits.lowDbm..highDbm is the range the unit transmits in (--range):
    // the fitted curve must rise over it, the error must hold over it.
    FitLimits limits;
};

// Why a measured point is not in the fits.
enum class Dropped {
    No,
    Clamped,  // the detector code was 0 or 4095 (clampedCode)
    Outlier,  // far from the curve: measured again
};

struct CalPoint {
    int round = 0;         // 1-based: the round whose fit the point went into first
    bool verify = false;   // a verify measurement (of the previous round's fit)
    Dropped dropped = Dropped::No;
    double setDbm = 0;     // what the radio was asked for (radioSetPower)
    int code = 0;          // the detector code it used (detectorCode)
    double measuredDbm = 0;  // at the unit's port
    double lossDb = 0;
};

enum class CalStatus { Pass, Fail, Error, Interrupted };
const char *calStatusName(CalStatus s);  // "PASS", "FAIL", "ERROR", "interrupted"

struct CalResult {
    CalStatus status = CalStatus::Error;
    // FAIL: "residual", "bounds", "not monotonic", "degenerate", "too few
    // points" (fit.h) or "not converged"; empty otherwise.
    std::string reason;
    std::string why;        // one line for the operator and the record
    Coeffs before;          // as read
    Coeffs after;           // what the chain holds now (before, unless PASS)
    bool wrote = false;     // new coefficients were written at some point
    bool restored = false;  // the originals were written back (writeCoeffs said the chain holds them)
    std::string restoreError;  // the write-back itself failed (the chain holds unknown values)
    bool safeStart = false;  // the stored coefficients could not be used: started from kNominal
    std::vector<CalPoint> points;
    double residualDb = 0;  // of the last fit
    int rounds = 0;         // rounds whose fit was made (and written, unless it failed)
    // measured - set of the last verify, per power (the mean of two where
    // the first was beyond the limit), and the limit each had to keep.
    std::vector<double> verifyErrorsDb, verifyLimitsDb;
    // The last verify's judgement: the noise (one sigma, estimated or the
    // profile's), the guard band it gives, the limit every verify error
    // and the predicted error must keep (tolerance - guard band), and the
    // worst error the last fit predicts over the range with the written
    // coefficients (measured - set, signed) and the power where it is.
    double noiseDb = NAN, guardBandDb = NAN, verifyLimitDb = NAN;
    double rangeErrorDb = NAN, rangeErrorAtDbm = NAN;
    // The same prediction at every whole dBm of the range and its ends:
    // set power, error (dBm, dB).
    std::vector<std::pair<double, double>> rangeErrorsDb;
    // Verify powers the last verify judged with the fit on all points (its
    // figure beyond its limit, no measurement left): the power, the error
    // the fit predicts there and the limit that prediction had to keep.
    struct FitJudged {
        double powerDbm, predictedDb, limitDb;
    };
    std::vector<FitJudged> fitJudged;
    int measurements = 0;   // tester measurements
};

// Checks the options (checkPowers, the tolerance, the rounds); false with
// *err for a usage error, before anything is sent.
bool checkOptions(const CalOptions &o, std::string *err);

CalResult calibrate(Target &t, const CalOptions &o);

}  // namespace pacal
