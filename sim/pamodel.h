// The power-amplifier model of the simulated radio: how a chain's three PA
// coefficients turn its power detector's reading into an output power.
//
// The radio reads a detector code t (12 bits, 0..4095) and estimates its
// output as
//
//     P_est(t) = (c1 / 2^6  +  c2 * t / 2^19) / (1  +  c3 * t / 2^24)   [dBm]
//
// with c1..c3 the chain's coefficients as signed 16-bit numbers (the
// pa2gw0aN, pa2gw1aN, pa2gw2aN variables).  So c1 is an offset in 1/64 dB,
// c2 a slope in 2^-19 dB per code and c3 a curvature in 2^-24 per code.
// To transmit at a set power the radio closes its loop on t: it moves the
// PA until P_est(t), with its STORED coefficients, is the set power.  What
// it really sends is the same function of that t with the unit's TRUE
// coefficients, which only the simulation knows (unittruth.h): a unit whose
// stored coefficients are not its own transmits at the wrong power.
//
// The shipped defaults (-372, 6702, -1509 and -387, 6748, -1490) put 5 dBm
// near code 820 and 21 dBm near 1830, about 0.016 dB per code, on a curve
// that rises over the whole code range.  The station's calibration uses the
// same formula (one place there too); a chip with another detector model
// replaces this file and that one place.
#pragma once

#include <cmath>
#include <cstdint>

namespace pa {

constexpr int kCodeMax = 4095;
constexpr double kScale1 = 64.0;         // 2^6
constexpr double kScale2 = 524288.0;     // 2^19
constexpr double kScale3 = 16777216.0;   // 2^24

struct Coeffs {
    int16_t c1, c2, c3;
};

// The defaults of chain 0 and chain 1.
constexpr Coeffs kDefault[2] = {{-372, 6702, -1509}, {-387, 6748, -1490}};

// P(t) in dBm; false where the curve is undefined (denominator <= 0).
inline bool power(const Coeffs &c, double t, double *dbm) {
    double den = 1.0 + c.c3 * t / kScale3;
    if (!(den > 1e-6)) return false;
    *dbm = (c.c1 / kScale1 + c.c2 * t / kScale2) / den;
    return true;
}

// The loop: the detector code whose estimate with these coefficients comes
// closest to the set power (the lowest such code; 0 if none is defined).
inline int detectorCode(const Coeffs &stored, double setDbm) {
    int best = 0;
    double bestErr = INFINITY;
    for (int t = 0; t <= kCodeMax; t++) {
        double p;
        if (!power(stored, t, &p)) continue;
        double e = std::fabs(p - setDbm);
        if (e < bestErr) {
            bestErr = e;
            best = t;
        }
    }
    return best;
}

// What the PA really sends at detector code t (true coefficients).  An
// undefined point of the true curve is taken as no output at all.
inline double trueOutput(const Coeffs &truth, int t) {
    double p;
    return power(truth, t, &p) ? p : -100.0;
}

}  // namespace pa
