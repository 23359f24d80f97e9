#include "pacal/calibrate.h"

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

class Loop {
  public:
    Loop(Target &t, const CalOptions &o, CalResult *r) : t_(t), o_(o), r_(*r) {}

    void run() {
        std::string err;
        if (stopped() || !t_.readCoeffs(&r_.before, &err)) return error(err);
        r_.after = r_.before;
        if (!firstRound()) return;
        for (int round = 1;; round++) {
            r_.rounds = round;
            FitResult f = fit(fitPoints(), o_.limits);
            r_.residualDb = f.residualDb;
            if (f.status != FitStatus::Ok) return fail(fitStatusName(f.status), f.why);
            if (stopped()) return;
            if (!t_.writeCoeffs(f.coeffs, &err)) {
                r_.wrote = true;  // the write may have reached the radio
                return error(err);
            }
            r_.wrote = true;
            r_.after = f.coeffs;
            if (!verify(round + 1, f.coeffs)) return;
            if (withinTolerance()) {
                r_.status = CalStatus::Pass;
                r_.why = fmt("%.0f round(s), RMS residual %.3f dB, worst verify error %.3f dB", round,
                             r_.residualDb, worstVerify());
                return;
            }
            if (round >= o_.maxRounds)
                return fail("not converged", fmt("a verify error of %.3f dB after %.0f round(s), tolerance %.3f dB",
                                                 worstVerify(), round, o_.toleranceDb));
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

    bool point(int round, bool verify, int tenths, const Coeffs &held) {
        if (stopped()) return false;
        CalPoint p;
        p.round = round;
        p.verify = verify;
        p.setDbm = radioSetPower(tenths);
        p.code = detectorCode(held, p.setDbm);
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
    // whose stored curve is off by 2 dB gives points over the whole range
    // only when the set powers make up for it, so each set power after the
    // first is moved by the error measured at the one before.
    bool firstRound() {
        double offset = 0;  // set - measured at the last point
        for (double want : o_.powers) {
            double set = std::fmin(kSetHighDbm, std::fmax(kSetLowDbm, want + offset));
            if (!point(1, false, tenthsOf(set), r_.before)) return false;
            const CalPoint &p = r_.points.back();
            offset = p.setDbm - p.measuredDbm;
        }
        return true;
    }

    bool verify(int nextRound, const Coeffs &held) {
        r_.verifyErrorsDb.clear();
        for (double want : o_.powers) {
            if (!point(nextRound, true, tenthsOf(want), held)) return false;
            const CalPoint &p = r_.points.back();
            r_.verifyErrorsDb.push_back(p.measuredDbm - p.setDbm);
        }
        return true;
    }

    bool withinTolerance() const {
        for (double e : r_.verifyErrorsDb)
            if (!(std::fabs(e) <= o_.toleranceDb)) return false;
        return true;
    }

    double worstVerify() const {
        double w = 0;
        for (double e : r_.verifyErrorsDb) w = std::fmax(w, std::fabs(e));
        return w;
    }

    std::vector<Point> fitPoints() const {
        std::vector<Point> pts;
        for (const CalPoint &p : r_.points) pts.push_back({p.setDbm, p.code, p.measuredDbm});
        return pts;
    }

    Target &t_;
    const CalOptions &o_;
    CalResult &r_;
};

}  // namespace

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
