// The calibration loop against simulated units: how each way of ending
// leaves the chain (PASS keeps the fit, anything else the originals), what
// is refused before anything is sent, and the power the radio really sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "pacal/calibrate.h"
#include "pamodel.h"
#include "unittruth.h"

namespace {

// A unit on the tester: its radio holds `stored`; the tester measures the
// true output with noise.  Faults: the tester's reply at measurement
// `nanAt` is not a number; the link fails at call `failAt` (any call); the
// operator presses Ctrl-C once `stopAfterWrites` writes were made.
struct Unit : pacal::Target {
    sim::UnitTruth truth;
    pa::Coeffs stored = pa::kDefault[0];
    sim::Rng noise{7};
    int calls = 0, writes = 0, measures = 0;
    int nanAt = -1, failAt = -1, stopAfterWrites = -1;

    bool fails(std::string *err) {
        if (calls++ != failAt) return false;
        *err = "pa-write: no reply";
        return true;
    }
    bool readCoeffs(pacal::Coeffs *c, std::string *err) override {
        if (fails(err)) return false;
        *c = {stored.c1, stored.c2, stored.c3};
        return true;
    }
    bool writeCoeffs(const pacal::Coeffs &c, std::string *err) override {
        if (fails(err)) return false;
        stored = {c.c1, c.c2, c.c3};
        writes++;
        return true;
    }
    bool measure(int tenths, double *dbm, double *loss, std::string *err) override {
        if (fails(err)) return false;
        *loss = 1.5;
        *dbm = measures++ == nanAt ? NAN
                                   : truth.output(0, pa::detectorCode(stored, pacal::radioSetPower(tenths))) +
                                         0.1 * noise.gauss();
        return true;
    }
    bool interrupted() override { return stopAfterWrites >= 0 && writes >= stopAfterWrites; }
};

// A unit whose tester reads `glitchDb` high once, at measurement glitchAt.
struct Glitchy : pacal::Target {
    sim::UnitTruth truth;
    pa::Coeffs stored = pa::kDefault[0];
    sim::Rng noise{5};
    int measures = 0, glitchAt = -1;
    double glitchDb = 2.0, sigma = 0.1;

    bool readCoeffs(pacal::Coeffs *c, std::string *) override {
        *c = {stored.c1, stored.c2, stored.c3};
        return true;
    }
    bool writeCoeffs(const pacal::Coeffs &c, std::string *) override {
        stored = {c.c1, c.c2, c.c3};
        return true;
    }
    bool measure(int tenths, double *dbm, double *loss, std::string *) override {
        *loss = 0;
        *dbm = truth.output(0, pa::detectorCode(stored, pacal::radioSetPower(tenths))) + sigma * noise.gauss() +
               (measures++ == glitchAt ? glitchDb : 0.0);
        return true;
    }
};

bool same(const pa::Coeffs &a, const pa::Coeffs &b) { return a.c1 == b.c1 && a.c2 == b.c2 && a.c3 == b.c3; }

}  // namespace

TEST(PaCal, EachEndingLeavesTheChainAsItShould) {
    struct Case {
        const char *name;
        bool brokenPa;
        int nanAt, failAt, stopAfterWrites;
        double tolerance;
        pacal::CalStatus status;
        const char *reason;  // FAIL's
        bool keepsFit;       // else the originals are back
    } cases[] = {
        {"a good unit", false, -1, -1, -1, 0.5, pacal::CalStatus::Pass, "", true},
        {"a broken PA", true, -1, -1, -1, 0.5, pacal::CalStatus::Fail, "residual", false},
        {"never within 0.01 dB", false, -1, -1, -1, 0.01, pacal::CalStatus::Fail, "not converged", false},
        {"not-a-number before the write", false, 2, -1, -1, 0.5, pacal::CalStatus::Error, "", false},
        {"not-a-number at verify", false, 5, -1, -1, 0.5, pacal::CalStatus::Error, "", false},
        {"no reply to the write", false, -1, 5, -1, 0.5, pacal::CalStatus::Error, "", false},
        {"no reply at verify", false, -1, 7, -1, 0.5, pacal::CalStatus::Error, "", false},
        {"Ctrl-C after the write", false, -1, -1, 1, 0.5, pacal::CalStatus::Interrupted, "", false},
    };
    for (const Case &c : cases) {
        for (uint64_t seed : {3, 11, 42}) {
            Unit u;
            u.truth = sim::truthFromSeed(seed);
            u.truth.brokenPa = c.brokenPa;
            u.nanAt = c.nanAt, u.failAt = c.failAt, u.stopAfterWrites = c.stopAfterWrites;
            pacal::CalOptions o;
            o.toleranceDb = c.tolerance;
            pacal::CalResult r = pacal::calibrate(u, o);
            std::string at = std::string(c.name) + ", seed " + std::to_string(seed) + ": " + r.why;
            EXPECT_EQ(r.status, c.status) << at;
            EXPECT_EQ(r.reason, c.reason) << at;
            EXPECT_TRUE(same(u.stored, {r.after.c1, r.after.c2, r.after.c3})) << at;
            if (c.keepsFit) {
                EXPECT_LT(sim::worstError(u.stored, u.truth.pa[0]), 0.5) << at;
                EXPECT_LE(r.measurements, 8) << at;
                ASSERT_EQ(r.verifyErrorsDb.size(), 4u) << at;
            } else {
                EXPECT_TRUE(same(u.stored, pa::kDefault[0])) << at;
                EXPECT_EQ(r.restored, r.wrote) << at;
            }
            if (!strcmp(c.reason, "not converged")) {
                EXPECT_EQ(r.rounds, pacal::CalOptions().maxRounds) << at;
            }
            for (const pacal::CalPoint &p : r.points) EXPECT_EQ(p.lossDb, 1.5) << at;
        }
    }
}

TEST(PaCal, BadOptionsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        std::vector<double> powers;
        double tolerance;
        int rounds;
        const char *says;
    } cases[] = {
        {{8, 12}, 0.5, 3, "at least 3 powers"},
        {{8, 12, 12, 20}, 0.5, 3, "given twice"},
        {{4, 12, 20}, 0.5, 3, "outside the radio's range"},
        {{8, 12.25, 20}, 0.5, 3, "more than one decimal"},
        {{8, 12, 20}, 0, 3, "tolerance"},
        {{8, 12, 20}, 0.5, 0, "--max-rounds"},
    };
    for (const Case &c : cases) {
        Unit u;
        pacal::CalOptions o;
        o.powers = c.powers, o.toleranceDb = c.tolerance, o.maxRounds = c.rounds;
        pacal::CalResult r = pacal::calibrate(u, o);
        EXPECT_EQ(r.status, pacal::CalStatus::Error);
        EXPECT_NE(r.why.find(c.says), std::string::npos) << r.why;
        EXPECT_EQ(u.calls, 0) << c.says;
    }
}

TEST(PaCal, TheSetPowerIsTheAgentsQuarterDbm) {
    // tenths as set-tx sends them -> what the driver gets
    struct Case {
        int tenths;
        double dbm;
    } cases[] = {{80, 8.0}, {123, 12.25}, {122, 12.0}, {175, 17.5}, {129, 12.75}, {-13, -1.25}};
    for (const Case &c : cases) EXPECT_EQ(pacal::radioSetPower(c.tenths), c.dbm) << c.tenths;
}

// A chain the loop once gave up on must still calibrate: one measurement
// 2 dB off (a tester glitch) is measured again instead of failing the fit
// or the verify, and a chain holding all-zero coefficients (every point
// at code 0: "too few points") starts from the nominal curve.  Each ends
// PASS with the unit truly within the tolerance over 5..21 dBm, within
// the measurement budget, and the record says what happened.
TEST(PaCal, AGlitchOrUnusableCoefficientsStillCalibrate) {
    struct Case {
        const char *name;
        pa::Coeffs stored;
        int glitchAt;  // the measurement 2 dB off, -1 none
        int outliers;
        bool safeStart;
    } cases[] = {
        {"a glitch in the first round", pa::kDefault[0], 2, 1, false},
        {"a glitch at verify", pa::kDefault[0], 5, 1, false},
        {"all-zero coefficients", {0, 0, 0}, -1, 0, true},
    };
    for (const Case &c : cases) {
        for (uint64_t seed : {3, 11, 42}) {
            Glitchy u;
            u.truth = sim::truthFromSeed(seed);
            u.stored = c.stored;
            u.glitchAt = c.glitchAt;
            pacal::CalResult r = pacal::calibrate(u, pacal::CalOptions());
            std::string at = std::string(c.name) + ", seed " + std::to_string(seed) + ": " + r.why;
            EXPECT_EQ(r.status, pacal::CalStatus::Pass) << at;
            EXPECT_LT(sim::worstError(u.stored, u.truth.pa[0]), 0.5) << at;
            EXPECT_LE(r.measurements, 13) << at;  // three per power, and the retake
            EXPECT_EQ(r.safeStart, c.safeStart) << at;
            int outliers = 0, clamped = 0;
            for (const pacal::CalPoint &p : r.points) {
                outliers += p.dropped == pacal::Dropped::Outlier;
                clamped += p.dropped == pacal::Dropped::Clamped;
            }
            EXPECT_EQ(outliers, c.outliers) << at;
            EXPECT_EQ(clamped, 0) << at;
            EXPECT_GT(r.guardBandDb, 0) << at;
            EXPECT_LE(std::fabs(r.rangeErrorDb), r.verifyLimitDb) << at;
        }
    }
}

// The last verify (one round here, so the first) with a figure beyond its
// limit and no measurement left: a figure within the tolerance is judged
// with the fit on all points, whose estimate of the error there is surer
// than the one figure; a figure beyond the tolerance still fails.
TEST(PaCal, TheLastVerifyJudgesAFigureWithTheFitOnAllPoints) {
    struct Case {
        const char *name;
        double offsetDb;  // on the first verify figure (5 dBm)
        pacal::CalStatus status;
        size_t judged;
    } cases[] = {
        {"every figure within its limit", 0, pacal::CalStatus::Pass, 0},
        {"a figure beyond its limit, within the tolerance", 0.38, pacal::CalStatus::Pass, 1},
        {"a figure beyond the tolerance", 0.6, pacal::CalStatus::Fail, 0},
    };
    for (const Case &c : cases) {
        for (uint64_t seed : {3, 11, 42}) {
            Glitchy u;
            u.truth = sim::truthFromSeed(seed);
            u.sigma = 0.02, u.glitchAt = 4, u.glitchDb = c.offsetDb;
            pacal::CalOptions o;
            o.maxRounds = 1;
            pacal::CalResult r = pacal::calibrate(u, o);
            std::string at = std::string(c.name) + ", seed " + std::to_string(seed) + ": " + r.why;
            EXPECT_EQ(r.status, c.status) << at;
            EXPECT_EQ(r.measurements, 8) << at;
            ASSERT_EQ(r.fitJudged.size(), c.judged) << at;
            for (const pacal::CalResult::FitJudged &f : r.fitJudged) {
                EXPECT_EQ(f.powerDbm, 5) << at;
                EXPECT_LE(std::fabs(f.predictedDb), f.limitDb) << at;
                EXPECT_LT(f.limitDb, o.toleranceDb) << at;
                EXPECT_GT(r.verifyErrorsDb[0], r.verifyLimitDb) << at;
                EXPECT_EQ(r.verifyLimitsDb[0], o.toleranceDb) << at;
                EXPECT_LT(sim::worstError(u.stored, u.truth.pa[0]), 0.4) << at;
            }
        }
    }
}

// What the chain keeps and the step's verdict come from one limit, the one
// the record shows (a thousandth of a dB).  The first verify figure is put
// just inside and just outside its limit, in steps finer than that
// thousandth, through the band between the guard band's exact limit and
// the recorded one, on units whose limit rounds down and units whose
// limit rounds up: the record's rule on its own figures (each within its
// recorded limit) gives PASS exactly when the loop kept the new
// coefficients.
TEST(PaCal, TheLimitThatDecidesIsTheOneRecorded) {
    auto recorded = [](double db) { return std::round(db * 1000) / 1000; };
    auto recordSaysPass = [&](const pacal::CalResult &r) {
        bool pass = std::fabs(r.rangeErrorDb) <= recorded(r.verifyLimitDb);
        for (size_t k = 0; k < r.verifyErrorsDb.size(); k++)
            pass = pass && std::fabs(r.verifyErrorsDb[k]) <= recorded(r.verifyLimitsDb[k]);
        for (const pacal::CalResult::FitJudged &f : r.fitJudged)
            pass = pass && std::fabs(f.predictedDb) <= recorded(f.limitDb);
        return pass;
    };
    const pacal::CalOptions o;
    const size_t first = o.powers.size();  // the first verify measurement
    int below = 0, above = 0;  // figures in the band, where the limit rounds down or up
    for (uint64_t seed : {3, 5, 11, 19, 42, 77}) {
        auto run = [&](double glitchDb, Glitchy *u) {
            u->truth = sim::truthFromSeed(seed);
            u->sigma = 0.02, u->glitchAt = (int)first, u->glitchDb = glitchDb;
            return pacal::calibrate(*u, o);
        };
        Glitchy base;
        const pacal::CalResult r0 = run(0, &base);
        ASSERT_EQ(r0.status, pacal::CalStatus::Pass) << seed;
        const double e0 = r0.points[first].measuredDbm - r0.points[first].setDbm, side = e0 < 0 ? -1 : 1;
        for (double d = -0.002; d <= 0.002; d += 0.0001) {
            // The figure at d from the limit it is judged by, which moves
            // a little with the figure (the noise is estimated from it).
            double limit = r0.verifyLimitDb;
            pacal::CalResult r;
            Glitchy u;
            for (int i = 0; i < 4; i++) {
                u = Glitchy();
                r = run(side * (limit + d) - e0, &u);
                limit = r.verifyLimitDb;
            }
            std::string at = "seed " + std::to_string(seed) + ", " + std::to_string(d) + ": " + r.why;
            ASSERT_TRUE(r.status == pacal::CalStatus::Pass || r.reason == "not converged") << at;
            EXPECT_EQ(r.status == pacal::CalStatus::Pass, recordSaysPass(r)) << at;
            const double exact = o.toleranceDb - r.guardBandDb;
            const double e = std::fabs(r.points[first].measuredDbm - r.points[first].setDbm);
            if (e > std::fmin(exact, recorded(exact)) && e <= std::fmax(exact, recorded(exact)))
                (recorded(exact) < exact ? below : above)++;
        }
    }
    EXPECT_GT(below, 0);
    EXPECT_GT(above, 0);
}

// The checks that keep a unit from passing on a few figures alone, each
// reached: with the powers inside the range (9, 12, 15 over 5..21) the
// curve between and beyond them is judged by the fit on all points (the
// range error), and units whose curve bends away from the points fail or
// go round again rather than pass; a verify figure between the guarded
// limit and the tolerance is measured again or makes another round before
// a verify passes, never passes as it is.  Each case over 60 units: how
// many end PASS while truly beyond the tolerance somewhere in the range
// (powers inside the range: 13 of them, 39 without the range error judged).
TEST(PaCal, TheRangeAndTheGuardBandAreJudged) {
    struct Case {
        const char *name;
        std::vector<double> powers;
        int glitchAt;  // a first verify figure put into the band, -1 none
        int badPassesAtMost;
    } cases[] = {
        {"powers inside the range", {9, 12, 15}, -1, 20},
        {"a first verify figure in the guard band", {5, 10.3, 15.7, 21}, 4, 1},
    };
    for (const Case &c : cases) {
        int bad = 0, passes = 0;
        for (uint64_t seed = 100; seed < 160; seed++) {
            Glitchy u;
            u.truth = sim::truthFromSeed(seed);
            pacal::CalOptions o;
            o.powers = c.powers;
            if (c.glitchAt >= 0) {
                Glitchy probe;
                probe.truth = u.truth;
                pacal::CalResult r0 = pacal::calibrate(probe, o);
                const pacal::CalPoint &p = r0.points[(size_t)c.glitchAt];
                double e = p.measuredDbm - p.setDbm, band = (r0.verifyLimitDb + o.toleranceDb) / 2;
                u.glitchAt = c.glitchAt, u.glitchDb = (e < 0 ? -band : band) - e;
            }
            pacal::CalResult r = pacal::calibrate(u, o);
            if (r.status != pacal::CalStatus::Pass) continue;
            passes++;
            bad += sim::worstError(u.stored, u.truth.pa[0]) > o.toleranceDb;
            if (c.glitchAt >= 0)
                EXPECT_GT(r.measurements, 2 * (int)o.powers.size()) << c.name << ", seed " << seed << ": " << r.why;
        }
        EXPECT_LE(bad, c.badPassesAtMost) << c.name << ": " << passes << " passed";
        EXPECT_GE(passes, 10) << c.name;
    }
}
