#include "pacal/fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace pacal {

namespace {

// Solves the 3x3 system m x = v by elimination with partial pivoting;
// false when it is (nearly) singular.
bool solve3(double m[3][3], double v[3], double x[3]) {
    double scale = 0;
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) scale = std::max(scale, std::fabs(m[i][j]));
    if (scale == 0) return false;
    for (int col = 0; col < 3; col++) {
        int piv = col;
        for (int r = col + 1; r < 3; r++)
            if (std::fabs(m[r][col]) > std::fabs(m[piv][col])) piv = r;
        if (std::fabs(m[piv][col]) < 1e-12 * scale) return false;
        std::swap(m[piv], m[col]);
        std::swap(v[piv], v[col]);
        for (int r = col + 1; r < 3; r++) {
            double f = m[r][col] / m[col][col];
            for (int j = col; j < 3; j++) m[r][j] -= f * m[col][j];
            v[r] -= f * v[col];
        }
    }
    for (int i = 2; i >= 0; i--) {
        double s = v[i];
        for (int j = i + 1; j < 3; j++) s -= m[i][j] * x[j];
        x[i] = s / m[i][i];
    }
    return true;
}

std::string fmt(const char *f, double a, double b = 0) {
    char buf[160];
    snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

}  // namespace

const char *fitStatusName(FitStatus s) {
    switch (s) {
        case FitStatus::Ok: return "ok";
        case FitStatus::TooFewPoints: return "too few points";
        case FitStatus::Degenerate: return "degenerate";
        case FitStatus::Bounds: return "bounds";
        case FitStatus::NotMonotonic: return "not monotonic";
        case FitStatus::Residual: return "residual";
    }
    return "?";
}

FitResult fit(const std::vector<Point> &pts, const FitLimits &lim) {
    FitResult r;
    std::set<int> codes;
    for (const Point &p : pts) codes.insert(p.code);
    if (pts.size() < 3 || codes.size() < 3) {
        r.status = FitStatus::TooFewPoints;
        r.why = "a fit needs at least 3 points with distinct detector codes, not " + std::to_string(codes.size());
        return r;
    }
    // Unknowns in well-scaled units: a, b*1000, c*1000 against u = t/1000.
    Curve k;
    double weightC = 0;  // c of the previous round, for the weights
    for (int round = 0; round < 4; round++) {
        double m[3][3] = {}, v[3] = {};
        for (const Point &p : pts) {
            double u = p.code / 1000.0;
            double den = 1 + weightC * p.code;
            double w = den > 1e-6 ? 1.0 / (den * den) : 1.0;
            double row[3] = {1.0, u, -u * p.measuredDbm};
            for (int i = 0; i < 3; i++) {
                for (int j = 0; j < 3; j++) m[i][j] += w * row[i] * row[j];
                v[i] += w * row[i] * p.measuredDbm;
            }
        }
        double x[3];
        if (!solve3(m, v, x) || !std::isfinite(x[0]) || !std::isfinite(x[1]) || !std::isfinite(x[2])) {
            r.status = FitStatus::Degenerate;
            r.why = "the points do not determine the curve";
            return r;
        }
        k = Curve{x[0], x[1] / 1000.0, x[2] / 1000.0};
        weightC = k.c;
    }
    double q[3] = {std::round(k.a * kScale1), std::round(k.b * kScale2), std::round(k.c * kScale3)};
    for (int i = 0; i < 3; i++) {
        if (q[i] < -32768 || q[i] > 32767) {
            r.status = FitStatus::Bounds;
            r.why = fmt("coefficient c%.0f = %.0f does not fit 16 bits", i + 1, q[i]);
            return r;
        }
    }
    r.coeffs = Coeffs{(int16_t)q[0], (int16_t)q[1], (int16_t)q[2]};
    Curve fitted = Curve::of(r.coeffs);
    double sum = 0;
    for (const Point &p : pts) {
        double m;
        if (!fitted.power(p.code, &m)) {
            r.status = FitStatus::Residual;
            r.residualDb = INFINITY;
            r.why = fmt("the best curve is undefined at detector code %.0f", p.code);
            return r;
        }
        sum += (m - p.measuredDbm) * (m - p.measuredDbm);
    }
    r.residualDb = std::sqrt(sum / pts.size());
    if (!(r.residualDb <= lim.maxResidualDb)) {
        r.status = FitStatus::Residual;
        r.why = fmt("RMS residual %.3f dB above the limit %.3f dB", r.residualDb, lim.maxResidualDb);
        return r;
    }
    // It must reach the range's low end from below and rise, code by
    // code, past its high end.
    int tLo = -1;
    double p = 0;
    for (int t = 0; t <= kCodeMax && tLo < 0; t++)
        if (fitted.power(t, &p) && p >= lim.lowDbm) tLo = t;
    bool rises = tLo > 0, reached = false;
    double prev = p;
    for (int t = tLo + 1; rises && !reached && t <= kCodeMax; t++) {
        rises = fitted.power(t, &p) && p > prev;
        reached = p > lim.highDbm;
        prev = p;
    }
    if (!rises || !reached) {
        r.status = FitStatus::NotMonotonic;
        r.why = fmt("the fitted curve does not rise over %.1f..%.1f dBm", lim.lowDbm, lim.highDbm);
        return r;
    }
    r.status = FitStatus::Ok;
    r.why = fmt("RMS residual %.3f dB", r.residualDb);
    return r;
}

bool checkPowers(const std::vector<double> &powers, double lo, double hi, std::string *err) {
    if (powers.size() < 3) {
        *err = "at least 3 powers are needed, not " + std::to_string(powers.size());
        return false;
    }
    for (size_t i = 0; i < powers.size(); i++) {
        if (!(powers[i] >= lo && powers[i] <= hi)) {
            *err = fmt("power %g dBm is outside the radio's range %g..", powers[i], lo) + fmt("%g dBm", hi);
            return false;
        }
        for (size_t j = 0; j < i; j++)
            if (powers[j] == powers[i]) {
                *err = fmt("power %g dBm is given twice", powers[i]);
                return false;
            }
    }
    return true;
}

}  // namespace pacal
