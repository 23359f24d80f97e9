// Fitting a chain's PA coefficients to measured points (pamodel.h).
//
// Each point is a set power, the detector code the radio used for it (from
// the coefficients it held, detectorCode) and the power measured at the
// unit's port.  The fit is least squares on the linearised model
// P (1 + c t) = a + b t, reweighted so that it minimises the error in dB
// (each round weighs a point by 1 / (1 + c t)^2 of the previous round),
// solved by Householder QR on columns scaled to unit length: the normal
// equations would square the condition number, and a set whose codes sit
// close together would then give an arbitrary c instead of "degenerate".
// Points at a clamped detector code (clampedCode) are left out: they show
// the end of the loop, not the curve.
// The result is checked, in this order: the points must determine the
// curve, the coefficients must fit 16 bits, the RMS residual in dB (with
// the rounded coefficients) must be within the limit, and the curve must
// rise over the range.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "pacal/pamodel.h"

namespace pacal {

struct Point {
    double setDbm;       // the power the radio was asked for
    int code;            // the detector code it used
    double measuredDbm;  // at the unit's port (path loss applied)
};

struct FitLimits {
    double maxResidualDb = 0.25;
    double lowDbm = 5, highDbm = 21;  // the range the curve must rise over
};

enum class FitStatus {
    Ok,
    TooFewPoints,  // fewer than 3 usable points with distinct codes
    Degenerate,    // the points do not determine the curve (ill-conditioned)
    Bounds,        // a coefficient outside 16 bits
    NotMonotonic,  // the curve does not rise over the range (or cannot reach it)
    Residual,      // the points are too far from the best curve
};

const char *fitStatusName(FitStatus s);  // "residual", "bounds", ...

struct FitResult {
    FitStatus status = FitStatus::Degenerate;
    Coeffs coeffs;          // rounded; meaningful when status is Ok, Residual or NotMonotonic
    double residualDb = 0;  // RMS of (model - measured) over the points used
    // The noise the points show: the residual over the degrees of freedom
    // (n - 3); NAN with 3 points or before the residual is known.
    double noiseDb = NAN;
    int freedom = 0;        // its degrees of freedom: points used - 3
    // Per point given: measured - model, NAN where left out (clamped) or
    // not known; worst is the index of the largest |residual|, -1 if none.
    std::vector<double> residualsDb;
    int worst = -1;
    int clamped = 0;        // points left out at a clamped detector code
    std::string why;        // for the record and the operator
};

FitResult fit(const std::vector<Point> &points, const FitLimits &limits = FitLimits());

// How far the fitted curve at detector code t may be from the true one,
// in units of the points' noise: sqrt(g' (J'J)^-1 g), J the curve's
// sensitivities to (a, b, c) at the points used and g at t.  At a point
// used it is the square root of its leverage (their squares add up to 3);
// away from the points it grows.  INFINITY where the curve is undefined
// or the points do not determine it.
double predictionSpread(const std::vector<Point> &points, const Coeffs &k, int t);

// The point most at odds with the others: the largest deviation from the
// straight line through all the other points (leave-one-out).  Over 5..21
// dBm a chain's curve is within about 0.5 dB of a straight line in the
// code, so a glitch of a dB or more stands out, even among four points
// where the fit's own residuals are all alike (one degree of freedom).
// -1 with fewer than 3 points.
int mostAtOdds(const std::vector<Point> &points);

// The calibration's --powers: at least 3, no duplicates, each within
// lo..hi.  false with *err saying which rule a value breaks.
bool checkPowers(const std::vector<double> &powers, double lo, double hi, std::string *err);

}  // namespace pacal
