// The station's PA model and fit against the simulated radio: the two
// formulas agree, exact points give back a unit's coefficients, noisy ones
// a curve within the tolerance, and point sets that cannot be fitted are
// refused with the reason.
#include <gtest/gtest.h>

#include <cmath>

#include "pacal/fit.h"
#include "pacal/pamodel.h"
#include "pamodel.h"
#include "unittruth.h"

namespace {

pacal::Coeffs station(const pa::Coeffs &c) { return pacal::Coeffs{c.c1, c.c2, c.c3}; }

// What a calibration measures: for each set power the code the radio used
// with its stored coefficients, and the unit's true output there (+noise).
std::vector<pacal::Point> measure(const sim::UnitTruth &u, int chain, const pa::Coeffs &stored,
                                  const std::vector<double> &powers, sim::Rng *noise, double sigma) {
    std::vector<pacal::Point> pts;
    for (double p : powers) {
        int code = pacal::detectorCode(station(stored), p);
        pts.push_back({p, code, u.output(chain, code) + (noise ? sigma * noise->gauss() : 0)});
    }
    return pts;
}

// The unit's worst |true - set| over lo..hi dBm with these coefficients.
double worst(const sim::UnitTruth &u, int chain, const pacal::Coeffs &c, double lo = 5, double hi = 21) {
    double w = 0;
    for (double p = lo; p <= hi + 1e-4; p += 0.5)
        w = std::fmax(w, std::fabs(u.output(chain, pacal::detectorCode(c, p)) - p));
    return w;
}

}  // namespace

TEST(PaModel, TheStationsFormulaIsTheSimulatedRadios) {
    for (uint64_t seed = 1; seed <= 10; seed++) {
        sim::UnitTruth u = sim::truthFromSeed(seed);
        for (const pa::Coeffs &c : {pa::kDefault[0], pa::kDefault[1], u.pa[0], u.pa[1]}) {
            for (int t = 0; t <= pa::kCodeMax; t += 97) {
                double a = 0, b = 0;
                ASSERT_EQ(pa::power(c, t, &a), pacal::power(station(c), t, &b));
                EXPECT_DOUBLE_EQ(a, b);
            }
            for (double p : {5.0, 12.25, 21.0}) EXPECT_EQ(pa::detectorCode(c, p), pacal::detectorCode(station(c), p));
        }
    }
}

TEST(PaFit, ExactPointsRecoverTheUnitsCoefficients) {
    for (uint64_t seed = 1; seed <= 20; seed++) {
        sim::UnitTruth u = sim::truthFromSeed(seed);
        for (int chain = 0; chain < 2; chain++) {
            auto pts = measure(u, chain, pa::kDefault[chain], {8, 12, 16, 20}, nullptr, 0);
            pacal::FitResult f = pacal::fit(pts);
            ASSERT_EQ(f.status, pacal::FitStatus::Ok) << seed << ": " << f.why;
            EXPECT_NEAR(f.coeffs.c1, u.pa[chain].c1, 2) << seed;
            EXPECT_NEAR(f.coeffs.c2, u.pa[chain].c2, 2) << seed;
            EXPECT_NEAR(f.coeffs.c3, u.pa[chain].c3, 2) << seed;
            EXPECT_LT(worst(u, chain, f.coeffs), 0.05) << seed;
        }
    }
}

TEST(PaFit, NoisyPointsGiveACurveWithinTheTolerance) {
    // sigma 0.1 dB, as the tester measures, at 8, 12, 16 and 20 dBm: a
    // round with the stored coefficients, a second with the first fit's,
    // the fit on all eight points.  (One round alone extrapolates: an
    // uncalibrated unit 2 dB low has no point near 20 dBm.)
    sim::Rng noise(99);
    double worstOfAll = 0;
    for (uint64_t seed = 1; seed <= 100; seed++) {
        sim::UnitTruth u = sim::truthFromSeed(seed);
        auto pts = measure(u, 0, pa::kDefault[0], {8, 12, 16, 20}, &noise, 0.1);
        pacal::FitResult f = pacal::fit(pts);
        ASSERT_EQ(f.status, pacal::FitStatus::Ok) << seed << ": " << f.why;
        pa::Coeffs first = {f.coeffs.c1, f.coeffs.c2, f.coeffs.c3};
        auto more = measure(u, 0, first, {8, 12, 16, 20}, &noise, 0.1);
        pts.insert(pts.end(), more.begin(), more.end());
        f = pacal::fit(pts);
        ASSERT_EQ(f.status, pacal::FitStatus::Ok) << seed << ": " << f.why;
        EXPECT_LT(f.residualDb, 0.25) << seed;
        worstOfAll = std::fmax(worstOfAll, worst(u, 0, f.coeffs, 8, 20));
    }
    EXPECT_LT(worstOfAll, 0.3);
}

TEST(PaFit, PointsThatCannotBeFittedAreRefusedWithTheReason) {
    sim::UnitTruth good = sim::truthFromSeed(5);
    sim::UnitTruth broken = good;
    broken.brokenPa = true;
    auto d = pa::kDefault[0];
    struct Case {
        const char *name;
        std::vector<pacal::Point> pts;
        pacal::FitStatus status;
        const char *says;
    } cases[] = {
        {"two points", measure(good, 0, d, {8, 20}, nullptr, 0), pacal::FitStatus::TooFewPoints, "at least 3"},
        {"one code twice", {{8, 900, 8.1}, {8.01, 900, 8.2}, {20, 1700, 19.5}, {20.01, 1700, 19.4}},
         pacal::FitStatus::TooFewPoints, "distinct detector codes, not 2"},
        {"broken PA", measure(broken, 0, d, {8, 12, 16, 20}, nullptr, 0), pacal::FitStatus::Residual, "undefined"},
        {"scattered", {{8, 900, 8}, {12, 1100, 13.5}, {16, 1400, 14.5}, {20, 1700, 21}}, pacal::FitStatus::Residual,
         "RMS residual"},
        {"falling", {{8, 900, 20}, {12, 1100, 16}, {16, 1400, 12}, {20, 1700, 8}}, pacal::FitStatus::NotMonotonic,
         "rise"},
    };
    for (const Case &c : cases) {
        pacal::FitResult f = pacal::fit(c.pts);
        EXPECT_EQ(f.status, c.status) << c.name << ": " << pacal::fitStatusName(f.status) << ", " << f.why;
        EXPECT_NE(f.why.find(c.says), std::string::npos) << c.name << ": " << f.why;
    }
}

TEST(PaFit, PowersAreCheckedBeforeAnythingIsSent) {
    struct Case {
        std::vector<double> powers;
        const char *says;
    } cases[] = {
        {{8, 12, 16, 20}, nullptr},
        {{8, 12}, "at least 3 powers"},
        {{8, 12, 12, 20}, "12 dBm is given twice"},
        {{8, 12, 16, 25}, "25 dBm is outside the radio's range 5..21 dBm"},
        {{-1, 12, 16}, "outside"},
    };
    for (const Case &c : cases) {
        std::string err;
        EXPECT_EQ(pacal::checkPowers(c.powers, 5, 21, &err), c.says == nullptr);
        if (c.says) {
            EXPECT_NE(err.find(c.says), std::string::npos) << err;
        }
    }
}

// Point sets the fit once got wrong, each with the outcome it must name:
// codes side by side fitted the noise into an arbitrary curvature (and
// failed as "bounds" or "not monotonic"); a point where the radio's loop
// ran out of codes was fitted as if on the curve; a coefficient one past
// 16 bits must be "bounds" on either side, not wrap into a "residual".
TEST(PaFit, EachDoubtfulSetGetsItsNamedOutcome) {
    sim::UnitTruth u = sim::truthFromSeed(9);
    sim::Rng noise(3);
    auto at = [&](std::vector<int> codes, double sigma) {
        std::vector<pacal::Point> pts;
        for (int t : codes) pts.push_back({0, t, u.output(0, t) + sigma * noise.gauss()});
        return pts;
    };
    // Exact points of a straight curve (c3 = 0) with this c1, c2.
    auto line = [](int c1, int c2, std::vector<int> codes) {
        std::vector<pacal::Point> pts;
        for (int t : codes) pts.push_back({0, t, c1 / pacal::kScale1 + c2 * t / pacal::kScale2});
        return pts;
    };
    std::vector<pacal::Point> saturated = at({900, 1200, 1500, 1800}, 0.05);
    saturated.push_back({21, pacal::kCodeMax, 19.0});  // where the PA gave up
    struct Case {
        const char *name;
        std::vector<pacal::Point> pts;
        pacal::FitStatus status;
        const char *says;
        int clamped;
    } cases[] = {
        {"four codes side by side", at({1200, 1201, 1202, 1203}, 0.1), pacal::FitStatus::Degenerate,
         "do not determine", 0},
        {"three codes within 10", at({1200, 1205, 1210, 1200}, 0.1), pacal::FitStatus::Degenerate,
         "do not determine", 0},
        {"a point at code 4095", saturated, pacal::FitStatus::Ok, "left out at a clamped detector code", 1},
        {"c2 at the top of 16 bits", line(-640, 32767, {250, 320, 400, 480}), pacal::FitStatus::Ok, "RMS", 0},
        {"c2 one past it", line(-640, 32768, {250, 320, 400, 480}), pacal::FitStatus::Bounds, "c2 = 32768", 0},
        {"c2 one below -32768", line(2560, -32769, {300, 380, 460, 540}), pacal::FitStatus::Bounds,
         "c2 = -32769", 0},
    };
    for (const Case &c : cases) {
        pacal::FitResult f = pacal::fit(c.pts);
        EXPECT_EQ(f.status, c.status) << c.name << ": " << pacal::fitStatusName(f.status) << ", " << f.why;
        EXPECT_NE(f.why.find(c.says), std::string::npos) << c.name << ": " << f.why;
        EXPECT_EQ(f.clamped, c.clamped) << c.name;
        if (c.status == pacal::FitStatus::Ok) {
            EXPECT_LT(f.residualDb, 0.1) << c.name;
        }
    }
}

// How far the fitted curve may be from the true one, from the points'
// noise: across many noisy point sets the fitted error at a power spreads
// as the noise times predictionSpread, at the ends of the points, between
// them and beyond them.
TEST(PaFit, ThePredictionsSpreadIsTheFitsOwn) {
    const double sigma = 0.1;
    sim::UnitTruth u = sim::truthFromSeed(5);
    const std::vector<double> powers = {5, 10.3, 15.7, 21, 5, 10.3, 15.7, 21};
    sim::Rng noise(9);
    for (double at : {5.0, 13.0, 21.0, 23.0}) {
        int code = pacal::detectorCode(station(pa::kDefault[0]), at);
        double truth = u.output(0, code), sum = 0, sum2 = 0;
        const int n = 2000;
        for (int i = 0; i < n; i++) {
            pacal::FitResult f = pacal::fit(measure(u, 0, pa::kDefault[0], powers, &noise, sigma));
            ASSERT_EQ(f.status, pacal::FitStatus::Ok) << f.why;
            double p = 0;
            ASSERT_TRUE(pacal::power(f.coeffs, code, &p));
            sum += p - truth, sum2 += (p - truth) * (p - truth);
        }
        double spread = std::sqrt(sum2 / n - (sum / n) * (sum / n));
        double expected = sigma * pacal::predictionSpread(measure(u, 0, pa::kDefault[0], powers, nullptr, 0),
                                                          station(u.pa[0]), code);
        EXPECT_NEAR(spread / expected, 1.0, 0.1) << at << " dBm: " << spread << " against " << expected;
    }
}
