// The PA model of the radio we simulate, on the station's side: how a
// chain's three coefficients turn its detector code into an output power.
// It is the same formula as the simulated radio's (sim/pamodel.h, where
// docs/tester.md describes it):
//
//     P(t) = (c1 / 2^6  +  c2 * t / 2^19) / (1  +  c3 * t / 2^24)   dBm
//
// t a 12-bit detector code, c1..c3 signed 16-bit.  A chip with another
// detector model replaces this file (and fit.cpp's linearisation); nothing
// else in the station knows the formula.
#pragma once

#include <cstdint>

namespace pacal {

constexpr int kCodeMax = 4095;
constexpr double kScale1 = 64.0, kScale2 = 524288.0, kScale3 = 16777216.0;

struct Coeffs {
    int16_t c1 = 0, c2 = 0, c3 = 0;
};

// A curve every chain of this radio is near: 5 dBm about code 820, 21 dBm
// about 1830, rising over all codes.  A calibration starts from it when
// the chain's own coefficients cannot place a point in the range (all
// zero, say): the radio closes its loop on them, so every point would sit
// at one end of the codes.
constexpr Coeffs kNominal = {-372, 6702, -1509};

// A detector code at either end of its 12 bits: the loop ran out of codes
// before the estimate reached the set power, so the point shows where the
// PA saturates (or gives up), not the curve.
inline bool clampedCode(int t) { return t <= 0 || t >= kCodeMax; }

// The model as real numbers: P = (a + b t) / (1 + c t).
struct Curve {
    double a = 0, b = 0, c = 0;
    static Curve of(const Coeffs &k) { return {k.c1 / kScale1, k.c2 / kScale2, k.c3 / kScale3}; }
    // P(t) in dBm; false where undefined (denominator <= 0).
    bool power(double t, double *dbm) const;
};

inline bool power(const Coeffs &k, double t, double *dbm) { return Curve::of(k).power(t, dbm); }

// The detector code at which the radio, holding these coefficients, sends
// a set power: the code whose estimate comes closest (the lowest such).
int detectorCode(const Coeffs &stored, double setDbm);

// The curve reaches lowDbm from below at a code above 0 and rises, code by
// code, past highDbm: the radio can set every power of the range.
bool risesOver(const Curve &k, double lowDbm, double highDbm);

}  // namespace pacal
