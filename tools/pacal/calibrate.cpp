#include "pacal/calibrate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pacal {

namespace {

// Where a first-round set power may go: 3 dB beyond the range either way.
constexpr double kSetLowDbm = kPowerLowDbm - 3, kSetHighDbm = kPowerHighDbm + 3;

int tenthsOf(double dbm) { return (int)std::lround(dbm * 10); }

std::string fmt(const char *f, double a, double b = 0, double c = 0) {
    char buf[200];
    snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

// The guard band is this many sigmas of the noise: a unit whose true
// error is at the tolerance passes a verify figure 1 % of the time.  A
// chain is judged on 4 or 5 figures and a line ships thousands of units:
// at 1.645 sigma (5 %), about one unit in 10,000 left the bench 0.4 dB off
// or more; the tighter band sends those to a second round instead.
constexpr double kGuardSigmas = 2.326;
// The weight of the nominal noise in the estimate, in degrees of freedom.
// A step's own points give 5 to 9: alone, one chain in ten would set a
// guard band from a third too much noise (or too little), and a unit
// whose points happen to scatter would fail for it.
constexpr int kPriorFreedom = 20;
// A verify figure beyond the limit is measured again rather than another
// round made when the fit on all points puts that power within this share
// of the limit: the figure is then more likely noise than the curve.  A
// second round costs no more measurements than the repeats would, and it
// corrects a curve the figure was right about.
constexpr double kNoiseLikeShare = 0.5;

class Loop {
  public:
    Loop(Target &t, const CalOptions &o, CalResult *r) : t_(t), o_(o), r_(*r) {}

    void run() {
        std::string err;
        if (stopped() || !t_.readCoeffs(&r_.before, &err)) return error(err);
        r_.after = held_ = r_.before;
        if (!risesOver(Curve::of(r_.before), o_.limits.lowDbm, o_.limits.highDbm) && !safeStart()) return;
        FitResult f;
        if (!firstRound()) return;
        r_.rounds = 1;  // its fit is made: the record shows its checks
        if (!fitRound(1, &f)) return;
        for (int round = 1;; round++) {
            r_.rounds = round;
            if (!write(f.coeffs) || !verify(round + 1)) return;
            // The fit on every point: the next round's coefficients, and
            // the best estimate of the curve the written ones are judged on.
            FitResult g;
            if (!fitRound(round + 1, &g)) return;
            judge(g);
            if (!confirm(round + 1)) return;
            bool last = round >= o_.maxRounds || r_.measurements + (int)o_.powers.size() > budget();
            if (withinLimit(last)) {
                r_.status = CalStatus::Pass;
                r_.why = fmt("%.0f round(s), RMS residual %.3f dB, worst verify error %.3f dB", round,
                             r_.residualDb, worstVerify()) +
                         fmt(", worst predicted %.3f dB over the range, guard band %.3f dB",
                             std::fabs(r_.rangeErrorDb), r_.guardBandDb);
                if (!r_.fitJudged.empty())
                    r_.why += fmt(", %.0f verify figure(s) judged with the fit on all points", r_.fitJudged.size());
                return;
            }
            if (round >= o_.maxRounds || r_.measurements + (int)o_.powers.size() > budget())
                return fail("not converged",
                            fmt("a verify error of %.3f dB (predicted %.3f dB) after %.0f round(s), ", worstVerify(),
                                std::fabs(r_.rangeErrorDb), round) +
                                fmt("limit %.3f dB (tolerance %.3f dB less the guard band)", r_.verifyLimitDb,
                                    o_.toleranceDb));
            if (r_.points.size() > pooled_ && !fitRound(round + 1, &g)) return;  // with the repeats
            f = g;
        }
    }

  private:
    bool stopped() {
        if (!t_.interrupted()) return false;
        r_.status = CalStatus::Interrupted;
        r_.why = "stopped";
        return true;
    }

    void error(const std::string &why) {
        if (r_.status == CalStatus::Interrupted) return;
        // An exchange cut short by Ctrl-C is the interrupt, not a fault.
        r_.status = t_.interrupted() ? CalStatus::Interrupted : CalStatus::Error;
        r_.why = r_.status == CalStatus::Interrupted ? "stopped: " + why : why;
    }

    void fail(const char *reason, const std::string &why) {
        r_.status = CalStatus::Fail;
        r_.reason = reason;
        r_.why = std::string(reason) + ": " + why;
    }

    bool write(const Coeffs &c) {
        std::string err;
        if (stopped()) return false;
        r_.wrote = true;  // even a failed write may have reached the radio
        if (!t_.writeCoeffs(c, &err)) {
            error(err);
            return false;
        }
        r_.after = held_ = c;
        return true;
    }

    // The stored curve does not cover the range: the radio would run its
    // loop to a code at either end for most powers.  The nominal curve
    // places every point in the range whatever the unit's own is.
    bool safeStart() {
        r_.safeStart = true;
        return write(kNominal);
    }

    bool point(int round, bool verify, int tenths) {
        if (stopped()) return false;
        CalPoint p;
        p.round = round;
        p.verify = verify;
        p.setDbm = radioSetPower(tenths);
        p.code = detectorCode(held_, p.setDbm);
        if (clampedCode(p.code)) p.dropped = Dropped::Clamped;
        std::string err;
        if (!t_.measure(tenths, &p.measuredDbm, &p.lossDb, &err)) {
            error(err);
            return false;
        }
        r_.measurements++;
        if (!std::isfinite(p.measuredDbm)) {
            error(fmt("the tester measured no number at %.2f dBm", p.setDbm));
            return false;
        }
        r_.points.push_back(p);
        return true;
    }

    // The first round aims each set power at the output wanted: a unit
    // whose stored curve is off by 2 dB, or tilted by 1 dB over the range,
    // gives points over the whole range only when the set powers make up
    // for it.  It starts in the middle of the powers, where the stored
    // curve is surest, then aims each next one by the error (set -
    // measured) of the points so far: their mean after one point, the
    // straight line through them after two, so that the ends of the range
    // are measured where they are and not extrapolated to.
    bool firstRound() {
        std::vector<double> want = o_.powers;
        std::sort(want.begin(), want.end(), [&](double a, double b) { return fromMiddle(a) < fromMiddle(b); });
        std::vector<double> at, off;  // measured, set - measured of the usable points
        for (double w : want) {
            double set = std::fmin(kSetHighDbm, std::fmax(kSetLowDbm, w + aim(at, off, w)));
            if (!point(1, false, tenthsOf(set))) return false;
            const CalPoint &p = r_.points.back();
            if (p.dropped != Dropped::No) continue;
            at.push_back(p.measuredDbm);
            off.push_back(p.setDbm - p.measuredDbm);
        }
        return true;
    }

    double fromMiddle(double dbm) const {
        return std::fabs(dbm - (o_.limits.lowDbm + o_.limits.highDbm) / 2);
    }

    // The set - measured expected at output w, from the points so far.
    static double aim(const std::vector<double> &at, const std::vector<double> &off, double w) {
        size_t n = at.size();
        if (n == 0) return 0;
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (size_t i = 0; i < n; i++) sx += at[i], sy += off[i], sxx += at[i] * at[i], sxy += at[i] * off[i];
        double den = n * sxx - sx * sx;
        if (n < 2 || !(den > 1e-9 * n * n)) return sy / n;
        double slope = (n * sxy - sx * sy) / den;
        return (sy - slope * sx) / n + slope * w;
    }

    bool verify(int nextRound) {
        r_.verifyErrorsDb.clear();
        r_.verifyLimitsDb.clear();
        for (double want : o_.powers) {
            if (!point(nextRound, true, tenthsOf(want))) return false;
            const CalPoint &p = r_.points.back();
            r_.verifyErrorsDb.push_back(p.measuredDbm - p.setDbm);
        }
        return true;
    }

    bool fitRound(int round, FitResult *f);
    bool remeasure(int round, const std::vector<Point> &pts, const std::vector<size_t> &at);
    void judge(const FitResult &g);
    bool confirm(int round);

    // The most measurements a chain takes: the first round's and one
    // verify per round, which repeats of a noisy verify figure spend, and
    // the one retake of a point at odds with the others (a glitch), which
    // is made only while the budget has room, so that it cannot be more
    // than one beyond it.
    int budget() const { return (o_.maxRounds + 1) * (int)o_.powers.size() + (remeasured_ ? 1 : 0); }

    // Every verify figure within its limit, and the range within the
    // limit as the fit on all points predicts it.  In the last verify a
    // figure beyond its limit with no measurement left to repeat it is
    // judged with the fit on all points instead (fitJudged).
    bool withinLimit(bool last) {
        bool within = std::fabs(r_.rangeErrorDb) <= r_.verifyLimitDb;
        for (size_t k = 0; k < r_.verifyErrorsDb.size(); k++)
            if (!(std::fabs(r_.verifyErrorsDb[k]) <= r_.verifyLimitsDb[k])) within = within && last && fitJudged(k);
        return within;
    }
    bool fitJudged(size_t k);

    double worstVerify() const {
        double w = 0;
        for (double e : r_.verifyErrorsDb) w = std::fmax(w, std::fabs(e));
        return w;
    }

    // The points the fits use, and where each is in r_.points.
    std::vector<Point> fitPoints(std::vector<size_t> *at) const {
        std::vector<Point> pts;
        at->clear();
        for (size_t k = 0; k < r_.points.size(); k++) {
            const CalPoint &p = r_.points[k];
            if (p.dropped != Dropped::No) continue;
            pts.push_back({p.setDbm, p.code, p.measuredDbm});
            at->push_back(k);
        }
        return pts;
    }

    Target &t_;
    const CalOptions &o_;
    CalResult &r_;
    Coeffs held_;             // what the chain holds now
    bool remeasured_ = false;  // the one point measured again
    size_t pooled_ = 0;        // points in the last fit
    std::vector<double> predicted_;  // the error the last fit predicts at each verify power
    std::vector<double> spread_;     // and how far off that prediction may be (predictionSpread)
};

// A fit on the points so far; a fit that fails its checks, or one point
// more than twice the residual limit from the curve, has the point most at odds
// with the others measured again (once per calibration) and the fit made
// again without it.
bool Loop::fitRound(int round, FitResult *f) {
    std::vector<size_t> at;
    *f = fit(fitPoints(&at), o_.limits);
    pooled_ = r_.points.size();
    bool far = f->status == FitStatus::Ok && f->worst >= 0 &&
               std::fabs(f->residualsDb[f->worst]) > 2 * o_.limits.maxResidualDb;
    // A glitch can bend the curve out of 16 bits or out of rising as well.
    bool failed = f->status == FitStatus::Residual || f->status == FitStatus::Bounds ||
                  f->status == FitStatus::NotMonotonic;
    if (!remeasured_ && (failed || far) && r_.measurements < (o_.maxRounds + 1) * (int)o_.powers.size()) {
        if (!remeasure(round, fitPoints(&at), at)) return false;
        *f = fit(fitPoints(&at), o_.limits);
        pooled_ = r_.points.size();
    }
    r_.residualDb = f->residualDb;
    if (f->status == FitStatus::Ok) return true;
    fail(fitStatusName(f->status), f->why);
    return false;
}

bool Loop::remeasure(int round, const std::vector<Point> &pts, const std::vector<size_t> &at) {
    remeasured_ = true;
    int odd = mostAtOdds(pts);
    if (odd < 0) return true;
    size_t k = at[odd];
    r_.points[k].dropped = Dropped::Outlier;
    CalPoint old = r_.points[k];
    // The same set power with what the chain holds now: the same point
    // when it was measured since the last write.
    bool sameVerify = old.verify && old.round == round;
    if (!point(round, sameVerify, tenthsOf(old.setDbm))) return false;
    if (sameVerify)
        for (size_t i = 0; i < o_.powers.size() && i < r_.verifyErrorsDb.size(); i++)
            if (radioSetPower(tenthsOf(o_.powers[i])) == old.setDbm)
                r_.verifyErrorsDb[i] = r_.points.back().measuredDbm - old.setDbm;
    return true;
}

// A verify error beyond the limit where the fit on all points says the
// curve holds is the tester's noise more likely than the curve: it is
// measured again, and the figure is the mean of the n measurements, whose
// noise and guard band are 1/sqrt(n) of one's.  Only where that mean,
// expected halfway between the figure and the fit's prediction, would
// pass with the one repeat: a curve that is off gets another round
// instead.  The repeats spend the measurements that round would take, the
// worst figure first, until each passes or the budget is spent.
bool Loop::confirm(int round) {
    const double guard = r_.guardBandDb;
    std::vector<int> n(r_.verifyErrorsDb.size(), 1);
    bool anotherRound = round - 1 < o_.maxRounds && r_.measurements + (int)o_.powers.size() <= budget();
    for (size_t k = 0; anotherRound && k < r_.verifyErrorsDb.size(); k++) {
        double e = r_.verifyErrorsDb[k];
        if (std::fabs(e) > r_.verifyLimitsDb[k] && !(std::fabs(predicted_[k]) <= kNoiseLikeShare * r_.verifyLimitsDb[k]))
            return true;
    }
    while (r_.measurements < budget()) {
        size_t worst = 0;
        double over = 0;
        for (size_t k = 0; k < r_.verifyErrorsDb.size(); k++)
            if (std::fabs(r_.verifyErrorsDb[k]) - r_.verifyLimitsDb[k] > over)
                over = std::fabs(r_.verifyErrorsDb[k]) - r_.verifyLimitsDb[k], worst = k;
        if (over <= 0) return true;
        if (!point(round, true, tenthsOf(o_.powers[worst]))) return false;
        const CalPoint &p = r_.points.back();
        int m = ++n[worst];
        r_.verifyErrorsDb[worst] += (p.measuredDbm - p.setDbm - r_.verifyErrorsDb[worst]) / m;
        r_.verifyLimitsDb[worst] = recordedLimit(std::fmax(0, o_.toleranceDb - guard / std::sqrt((double)m)));
    }
    return true;
}

// A verify figure is one measurement; the fit on all points (that figure
// among them) estimates the error at the same power from all of them, with
// a smaller uncertainty: the noise times predictionSpread, well under one
// where the points surround the power.  Where the last verify leaves no
// measurement to repeat a figure that is beyond its limit but within the
// tolerance, the power passes when that estimate, widened by its own
// guard band, is within the tolerance.  The figure's limit becomes the
// tolerance, and the record shows the estimate and its limit.
bool Loop::fitJudged(size_t k) {
    double e = r_.verifyErrorsDb[k], tolerance = recordedLimit(o_.toleranceDb);
    if (k >= predicted_.size() || !(std::fabs(e) <= tolerance)) return false;
    double limit = recordedLimit(o_.toleranceDb - kGuardSigmas * r_.noiseDb * spread_[k]);
    if (!(std::fabs(predicted_[k]) <= limit)) return false;
    r_.verifyLimitsDb[k] = tolerance;
    r_.fitJudged.push_back({o_.powers[k], predicted_[k], limit});
    return true;
}

// The noise, the guard band and the limit, and the error the fit on all
// points predicts at every whole dBm of the range (and its ends) for the
// coefficients the chain holds.
void Loop::judge(const FitResult &g) {
    double ss = kPriorFreedom * o_.nominalNoiseDb * o_.nominalNoiseDb;
    if (g.freedom > 0) ss += g.freedom * g.noiseDb * g.noiseDb;
    r_.noiseDb = std::sqrt(ss / (kPriorFreedom + g.freedom));
    r_.guardBandDb = kGuardSigmas * r_.noiseDb;
    // A tolerance inside the guard band cannot be shown with this noise:
    // nothing passes, and the limit stays a limit (0, not below).
    r_.verifyLimitDb = recordedLimit(std::fmax(0, o_.toleranceDb - r_.guardBandDb));
    r_.verifyLimitsDb.assign(r_.verifyErrorsDb.size(), r_.verifyLimitDb);
    r_.fitJudged.clear();
    Curve unit = Curve::of(g.coeffs);
    std::vector<size_t> at;
    const std::vector<Point> pts = fitPoints(&at);
    predicted_.clear();
    spread_.clear();
    for (double want : o_.powers) {
        double set = radioSetPower(tenthsOf(want)), out;
        int code = detectorCode(held_, set);
        predicted_.push_back(unit.power(code, &out) ? out - set : INFINITY);
        spread_.push_back(predictionSpread(pts, g.coeffs, code));
    }
    double lo = o_.limits.lowDbm, hi = o_.limits.highDbm;
    r_.rangeErrorDb = 0, r_.rangeErrorAtDbm = lo;
    r_.rangeErrorsDb.clear();
    for (double p = lo; p <= hi + 1e-9; p = p + 1 > hi && p < hi ? hi : std::floor(p + 1)) {
        double out;
        double e = unit.power(detectorCode(held_, p), &out) ? out - p : INFINITY;
        r_.rangeErrorsDb.push_back({p, e});
        if (!(std::fabs(e) <= std::fabs(r_.rangeErrorDb))) r_.rangeErrorDb = e, r_.rangeErrorAtDbm = p;
    }
}

}  // namespace

std::vector<double> defaultPowers(double lowDbm, double highDbm) {
    std::vector<double> v;
    for (double f : {0.0, 1.0 / 3, 2.0 / 3, 1.0}) v.push_back(std::round((lowDbm + f * (highDbm - lowDbm)) * 10) / 10);
    return v;
}

double recordedLimit(double db) { return std::round(db * 1000) / 1000; }

double radioSetPower(int powerTenths) {
    // As the agent does it: float dBm, times four, truncated.
    float quarters = (float)powerTenths / 10.0f * 4.0f;
    return (double)(int)quarters / 4.0;
}

const char *calStatusName(CalStatus s) {
    switch (s) {
        case CalStatus::Pass: return "PASS";
        case CalStatus::Fail: return "FAIL";
        case CalStatus::Error: return "ERROR";
        case CalStatus::Interrupted: return "interrupted";
    }
    return "?";
}

bool checkOptions(const CalOptions &o, std::string *err) {
    // The range first: the default powers follow from it.
    const FitLimits &l = o.limits;
    if (!(l.lowDbm >= kPowerLowDbm && l.highDbm <= kPowerHighDbm && l.highDbm - l.lowDbm >= 3)) {
        *err = fmt("--range %g..%g dBm is not within the radio's range 5..21 dBm and at least 3 dB wide",
                   l.lowDbm, l.highDbm);
        return false;
    }
    if (!checkPowers(o.powers, kPowerLowDbm, kPowerHighDbm, err)) return false;
    for (double p : o.powers)
        if (std::fabs(p * 10 - std::round(p * 10)) > 1e-6) {
            *err = fmt("power %g dBm has more than one decimal", p);
            return false;
        }
    if (!(o.toleranceDb > 0 && o.toleranceDb <= 10)) {
        *err = fmt("tolerance %g dB is outside 0..10 dB", o.toleranceDb);
        return false;
    }
    if (o.maxRounds < 1 || o.maxRounds > 10) {
        *err = fmt("--max-rounds %.0f is outside 1..10", o.maxRounds);
        return false;
    }
    return true;
}

CalResult calibrate(Target &t, const CalOptions &o) {
    CalResult r;
    std::string err;
    if (!checkOptions(o, &err)) {
        r.status = CalStatus::Error;
        r.why = err;
        return r;
    }
    Loop(t, o, &r).run();
    if (r.status != CalStatus::Pass && r.wrote) {
        // The originals go back whatever ended the calibration, also after
        // an interrupt: a unit never keeps coefficients that failed.
        if (t.writeCoeffs(r.before, &err)) {
            r.restored = true;
            r.after = r.before;
        } else {
            r.restoreError = err;
        }
    }
    return r;
}

}  // namespace pacal
