#include "pacal/fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <set>

namespace pacal {

namespace {

// Below this reciprocal condition number (of the scaled sensitivities,
// linearFit) the points leave a direction of (a, b, c) to the noise: a
// set over 5..21 dBm (about 1000 codes) is near 1e-2, one over 100 codes
// 3e-4, over 30 codes 3e-5: sets within about 1 dB are degenerate.
constexpr double kMinRcond = 1e-4;

// 1 / (|R| |R^-1|) in the Frobenius norm for the 3x3 upper triangle of
// R: within a factor of 3 of the reciprocal of R's condition number.
double reciprocalCondition(const std::vector<std::array<double, 3>> &R) {
    double inv[3][3] = {};
    for (int j = 0; j < 3; j++) {
        if (R[j][j] == 0) return 0;
        inv[j][j] = 1 / R[j][j];
        for (int i = j - 1; i >= 0; i--) {
            double s = 0;
            for (int k = i + 1; k <= j; k++) s += R[i][k] * inv[k][j];
            inv[i][j] = -s / R[i][i];
        }
    }
    double a = 0, b = 0;
    for (int i = 0; i < 3; i++)
        for (int j = i; j < 3; j++) a += R[i][j] * R[i][j], b += inv[i][j] * inv[i][j];
    return 1 / std::sqrt(a * b);
}

// Least squares min |A x - y| by Householder QR.  Each column is scaled to
// unit length first, so that the condition seen is the points' and not the
// units'.  false when a column is zero or the scaled R is ill-conditioned
// (*rcond, reciprocalCondition).
bool solveQr(std::vector<std::array<double, 3>> A, std::vector<double> y, double x[3], double *rcond) {
    const size_t n = A.size();
    double scale[3];
    for (int j = 0; j < 3; j++) {
        double s = 0;
        for (size_t i = 0; i < n; i++) s += A[i][j] * A[i][j];
        scale[j] = std::sqrt(s);
        if (!(scale[j] > 0) || !std::isfinite(scale[j])) return *rcond = 0, false;
        for (size_t i = 0; i < n; i++) A[i][j] /= scale[j];
    }
    for (int k = 0; k < 3; k++) {
        double norm = 0;
        for (size_t i = k; i < n; i++) norm += A[i][k] * A[i][k];
        norm = std::sqrt(norm);
        if (norm == 0) return *rcond = 0, false;
        double alpha = A[k][k] > 0 ? -norm : norm;
        // v = a_k - alpha e_k, kept in column k below the diagonal.
        std::vector<double> v(n - k);
        for (size_t i = k; i < n; i++) v[i - k] = A[i][k];
        v[0] -= alpha;
        double vv = 0;
        for (double e : v) vv += e * e;
        if (vv > 0) {
            for (int j = k; j < 3; j++) {
                double d = 0;
                for (size_t i = k; i < n; i++) d += v[i - k] * A[i][j];
                for (size_t i = k; i < n; i++) A[i][j] -= 2 * d / vv * v[i - k];
            }
            double d = 0;
            for (size_t i = k; i < n; i++) d += v[i - k] * y[i];
            for (size_t i = k; i < n; i++) y[i] -= 2 * d / vv * v[i - k];
        }
    }
    *rcond = reciprocalCondition(A);
    if (!(*rcond >= 1e-12)) return false;  // singular in double precision
    for (int i = 2; i >= 0; i--) {
        double s = y[i];
        for (int j = i + 1; j < 3; j++) s -= A[i][j] * x[j];
        x[i] = s / A[i][i];
    }
    for (int j = 0; j < 3; j++) x[j] /= scale[j];
    return std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]);
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

namespace {

// Whether the points determine the curve is a question of the codes and
// of how the power moves with them, not of the measured values: their
// noise alone makes the linearised columns look independent even for
// three codes side by side, and a fit to that noise is as well-conditioned
// at its own wild curvature.  So this is the reciprocal condition of the
// sensitivities d P / d(a, b, c) at the straight line through the points.
double determinedness(const std::vector<Point> &pts) {
    double su = 0, sy = 0, suu = 0, suy = 0, n = (double)pts.size();
    for (const Point &p : pts) {
        double u = p.code / 1000.0;
        su += u, sy += p.measuredDbm, suu += u * u, suy += u * p.measuredDbm;
    }
    double slope = (n * suy - su * sy) / (n * suu - su * su), icept = (sy - slope * su) / n;
    std::vector<std::array<double, 3>> J;
    for (const Point &p : pts) {
        double u = p.code / 1000.0;
        J.push_back({1, u, -u * (icept + slope * u)});
    }
    double x[3], rcond = 0;
    return solveQr(J, std::vector<double>(J.size(), 0.0), x, &rcond) ? rcond : 0;
}

// The reweighted linear fit of the usable points: a curve, or false with
// r's status and why.  A point where the previous round's curve is
// undefined (denominator <= 0) has no weight that minimises its error in
// dB: the fit stops there rather than weigh it as if it were fine.
bool linearFit(const std::vector<Point> &pts, Curve *k, FitResult *r) {
    double rcond = determinedness(pts);
    if (!(rcond >= kMinRcond)) {
        r->status = FitStatus::Degenerate;
        r->why = fmt("the points do not determine the curve (condition %.2g)", rcond);
        return false;
    }
    double weightC = 0;  // c of the previous round, for the weights
    for (int round = 0; round < 4; round++) {
        // Unknowns a, b, c against u = t/1000; the QR scales the columns.
        std::vector<std::array<double, 3>> A;
        std::vector<double> y;
        for (const Point &p : pts) {
            double den = 1 + weightC * p.code;
            if (!(den > 1e-6)) {
                r->status = FitStatus::Residual;
                r->residualDb = INFINITY;
                r->why = fmt("the best curve is undefined at detector code %.0f", p.code);
                return false;
            }
            double u = p.code / 1000.0, w = 1.0 / den;
            A.push_back({w, w * u, -w * u * p.measuredDbm});
            y.push_back(w * p.measuredDbm);
        }
        double x[3], rcond = 0;
        if (!solveQr(A, y, x, &rcond)) {
            r->status = FitStatus::Degenerate;
            r->why = fmt("the points do not determine the curve (condition %.2g)", rcond);
            return false;
        }
        *k = Curve{x[0], x[1] / 1000.0, x[2] / 1000.0};
        weightC = k->c;
    }
    return true;
}

// The residual of each point given (NAN where left out) with the rounded
// coefficients; false where the curve is undefined at a point's code.
bool residuals(const std::vector<Point> &pts, const Curve &fitted, FitResult *r) {
    double sum = 0, worst = -1;
    int used = 0;
    r->residualsDb.assign(pts.size(), NAN);
    for (size_t i = 0; i < pts.size(); i++) {
        const Point &p = pts[i];
        if (clampedCode(p.code)) continue;
        double m;
        if (!fitted.power(p.code, &m)) {
            r->status = FitStatus::Residual;
            r->residualDb = INFINITY;
            r->why = fmt("the best curve is undefined at detector code %.0f", p.code);
            return false;
        }
        double e = p.measuredDbm - m;
        r->residualsDb[i] = e;
        sum += e * e;
        used++;
        if (std::fabs(e) > worst) worst = std::fabs(e), r->worst = (int)i;
    }
    r->residualDb = std::sqrt(sum / used);
    if (used > 3) r->noiseDb = std::sqrt(sum / (used - 3)), r->freedom = used - 3;
    return true;
}

}  // namespace

FitResult fit(const std::vector<Point> &all, const FitLimits &lim) {
    FitResult r;
    std::vector<Point> pts;
    std::set<int> codes;
    for (const Point &p : all) {
        if (clampedCode(p.code)) {
            r.clamped++;
            continue;
        }
        pts.push_back(p);
        codes.insert(p.code);
    }
    if (pts.size() < 3 || codes.size() < 3) {
        r.status = FitStatus::TooFewPoints;
        r.why = "a fit needs at least 3 points with distinct detector codes, not " + std::to_string(codes.size());
        if (r.clamped) r.why += fmt(" (%.0f left out at a clamped detector code)", r.clamped);
        return r;
    }
    Curve k;
    if (!linearFit(pts, &k, &r)) return r;
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
    if (!residuals(all, fitted, &r)) return r;
    if (!(r.residualDb <= lim.maxResidualDb)) {
        r.status = FitStatus::Residual;
        r.why = fmt("RMS residual %.3f dB above the limit %.3f dB", r.residualDb, lim.maxResidualDb);
        return r;
    }
    if (!risesOver(fitted, lim.lowDbm, lim.highDbm)) {
        r.status = FitStatus::NotMonotonic;
        r.why = fmt("the fitted curve does not rise over %.1f..%.1f dBm", lim.lowDbm, lim.highDbm);
        return r;
    }
    r.status = FitStatus::Ok;
    r.why = fmt("RMS residual %.3f dB", r.residualDb);
    if (r.clamped) r.why += fmt(", %.0f point(s) left out at a clamped detector code", r.clamped);
    return r;
}

double predictionSpread(const std::vector<Point> &pts, const Coeffs &k, int t) {
    const Curve c = Curve::of(k);
    auto sensitivity = [&](double code, double g[3]) {
        double den = 1 + c.c * code, u = code / 1000.0;
        if (!(den > 1e-6)) return false;
        g[0] = 1 / den, g[1] = u / den, g[2] = -u * (c.a + c.b * code) / den / den;
        return true;
    };
    double M[3][4] = {}, g[3];
    for (const Point &p : pts) {
        if (clampedCode(p.code)) continue;
        if (!sensitivity(p.code, g)) return INFINITY;
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 3; j++) M[i][j] += g[i] * g[j];
    }
    if (!sensitivity(t, g)) return INFINITY;
    // Solve (J'J) z = g on the scaled matrix (unit diagonal), then g'z.
    double d[3];
    for (int i = 0; i < 3; i++) {
        if (!(M[i][i] > 0)) return INFINITY;
        d[i] = 1 / std::sqrt(M[i][i]);
    }
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) M[i][j] *= d[i] * d[j];
        M[i][3] = g[i] * d[i];
    }
    for (int col = 0; col < 3; col++) {
        int piv = col;
        for (int r = col + 1; r < 3; r++)
            if (std::fabs(M[r][col]) > std::fabs(M[piv][col])) piv = r;
        if (!(std::fabs(M[piv][col]) > 1e-10)) return INFINITY;
        for (int j = 0; j < 4; j++) std::swap(M[col][j], M[piv][j]);
        for (int r = 0; r < 3; r++) {
            if (r == col) continue;
            double f = M[r][col] / M[col][col];
            for (int j = col; j < 4; j++) M[r][j] -= f * M[col][j];
        }
    }
    double q = 0;
    for (int i = 0; i < 3; i++) q += g[i] * d[i] * (M[i][3] / M[i][i]);
    return q >= 0 && std::isfinite(q) ? std::sqrt(q) : INFINITY;
}

int mostAtOdds(const std::vector<Point> &pts) {
    size_t n = pts.size();
    if (n < 3) return -1;
    double su = 0, sy = 0;
    for (const Point &p : pts) su += p.code, sy += p.measuredDbm;
    double mu = su / n, my = sy / n, suu = 0, suy = 0;
    for (const Point &p : pts) suu += (p.code - mu) * (p.code - mu), suy += (p.code - mu) * (p.measuredDbm - my);
    if (!(suu > 0)) return -1;
    double slope = suy / suu;
    int worst = -1;
    double most = -1;
    for (size_t k = 0; k < n; k++) {
        // The residual over (1 - leverage) is the deviation from the line
        // fitted without the point.
        double du = pts[k].code - mu, h = 1.0 / n + du * du / suu;
        double d = std::fabs(pts[k].measuredDbm - (my + slope * du)) / std::fmax(1 - h, 1e-9);
        if (d > most) most = d, worst = (int)k;
    }
    return worst;
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
