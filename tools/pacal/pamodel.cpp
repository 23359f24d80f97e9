#include "pacal/pamodel.h"

#include <cmath>

namespace pacal {

bool Curve::power(double t, double *dbm) const {
    double den = 1.0 + c * t;
    if (!(den > 1e-6)) return false;
    *dbm = (a + b * t) / den;
    return true;
}

int detectorCode(const Coeffs &stored, double setDbm) {
    Curve k = Curve::of(stored);
    int best = 0;
    double bestErr = INFINITY;
    for (int t = 0; t <= kCodeMax; t++) {
        double p;
        if (!k.power(t, &p)) continue;
        double e = std::fabs(p - setDbm);
        if (e < bestErr) {
            bestErr = e;
            best = t;
        }
    }
    return best;
}

bool risesOver(const Curve &k, double lowDbm, double highDbm) {
    int tLo = -1;
    double p = 0;
    for (int t = 0; t <= kCodeMax && tLo < 0; t++)
        if (k.power(t, &p) && p >= lowDbm) tLo = t;
    bool rises = tLo > 0, reached = false;
    double prev = p;
    for (int t = tLo + 1; rises && !reached && t <= kCodeMax; t++) {
        rises = k.power(t, &p) && p > prev;
        reached = p > highDbm;
        prev = p;
    }
    return rises && reached;
}

}  // namespace pacal
