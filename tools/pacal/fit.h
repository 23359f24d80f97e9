// Fitting a chain's PA coefficients to measured points (pamodel.h).
//
// Each point is a set power, the detector code the radio used for it (from
// the coefficients it held, detectorCode) and the power measured at the
// unit's port.  The fit is least squares on the linearised model
// P (1 + c t) = a + b t, reweighted so that it minimises the error in dB
// (each round weighs a point by 1 / (1 + c t)^2 of the previous round).
// The result is checked, in this order: the coefficients must fit 16 bits,
// the RMS residual in dB (with the rounded coefficients) must be within the
// limit, and the curve must rise over the range.
#pragma once

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
    TooFewPoints,  // fewer than 3 points with distinct codes
    Degenerate,    // the points do not determine the curve
    Bounds,        // a coefficient outside 16 bits
    NotMonotonic,  // the curve does not rise over the range (or cannot reach it)
    Residual,      // the points are too far from the best curve
};

const char *fitStatusName(FitStatus s);  // "residual", "bounds", ...

struct FitResult {
    FitStatus status = FitStatus::Degenerate;
    Coeffs coeffs;          // rounded; meaningful when status is Ok, Residual or NotMonotonic
    double residualDb = 0;  // RMS of (model - measured) over the points
    std::string why;        // for the record and the operator
};

FitResult fit(const std::vector<Point> &points, const FitLimits &limits = FitLimits());

// The calibration's --powers: at least 3, no duplicates, each within
// lo..hi.  false with *err saying which rule a value breaks.
bool checkPowers(const std::vector<double> &powers, double lo, double hi, std::string *err);

}  // namespace pacal
