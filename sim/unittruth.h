// What a simulated unit really is, drawn from the seed the rig gives it:
// its PA's true coefficients per chain, its crystal's error, its EVM floor
// and its receiver's sensitivity.  Only the simulated tester reads it: the
// radio itself knows only its stored coefficients (pamodel.h).
//
// The rig writes the unit's file "unit" in its sim directory:
//   seed N             the unit's truth (same seed, same unit)
//   fault NAME         weak-receiver (10 dB less sensitive), bad-crystal
//                      (25-35 ppm off), broken-pa (the output folds back
//                      above 12 dBm: no PA model fits it)
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "pamodel.h"
#include "simcommon.h"

namespace sim {

// splitmix64: small, and the same numbers from the same seed everywhere.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double uniform() { return (next() >> 11) * (1.0 / 9007199254740992.0); }  // [0,1)
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double gauss() {  // Box-Muller
        double u1 = uniform(), u2 = uniform();
        if (u1 < 1e-300) u1 = 1e-300;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }
};

struct UnitTruth {
    bool known = false;          // a unit file with a seed was there
    uint64_t seed = 0;
    pa::Coeffs pa[2] = {pa::kDefault[0], pa::kDefault[1]};
    double crystalPpm = 0;
    double evmFloorDb = -36;
    double sensOffsetDb = 0;     // + is less sensitive
    bool weakReceiver = false, badCrystal = false, brokenPa = false;

    // What the PA sends on this chain at detector code t.
    double output(int chain, int t) const {
        double p = pa::trueOutput(pa[chain & 1], t);
        if (brokenPa && p > 12.0) p = 12.0 - 0.8 * (p - 12.0);
        return p;
    }
};

// The worst |true - set| over 5..21 dBm of a unit whose radio still holds
// the stored coefficients.
inline double worstError(const pa::Coeffs &stored, const pa::Coeffs &truth) {
    double worst = 0;
    for (double p = 5; p <= 21.0001; p += 0.5)
        worst = std::fmax(worst, std::fabs(pa::trueOutput(truth, pa::detectorCode(stored, p)) - p));
    return worst;
}

// True coefficients near the defaults: errors drawn at 5, 13 and 21 dBm
// (an offset up to 2 dB, a tilt up to 1 dB, a bow up to 0.5 dB), the
// curve through them solved exactly, kept when it fits
// 16 bits, rises over the codes in use and is 0.5-3 dB off somewhere.
inline pa::Coeffs drawPa(Rng &r, const pa::Coeffs &d) {
    for (int attempt = 0; attempt < 1000; attempt++) {
        // Mostly an offset, some tilt, a little bow: how real units spread.
        double offset = r.uniform(-2, 2), tilt = r.uniform(-1, 1), bow = r.uniform(-0.5, 0.5);
        double P[3] = {5, 13, 21}, e[3] = {offset - tilt, offset + bow, offset + tilt}, t[3], y[3];
        for (int i = 0; i < 3; i++) {
            t[i] = pa::detectorCode(d, P[i]);
            y[i] = P[i] + e[i];
        }
        // a + b t - c t y = y, solved by Cramer's rule.
        double m[3][3], v[3];
        for (int i = 0; i < 3; i++) {
            m[i][0] = 1;
            m[i][1] = t[i];
            m[i][2] = -t[i] * y[i];
            v[i] = y[i];
        }
        auto det3 = [](double a[3][3]) {
            return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                   a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        };
        double D = det3(m);
        if (std::fabs(D) < 1e-9) continue;
        double x[3];
        for (int k = 0; k < 3; k++) {
            double mk[3][3];
            for (int i = 0; i < 3; i++)
                for (int j = 0; j < 3; j++) mk[i][j] = j == k ? v[i] : m[i][j];
            x[k] = det3(mk) / D;
        }
        double c1 = std::round(x[0] * pa::kScale1), c2 = std::round(x[1] * pa::kScale2),
               c3 = std::round(x[2] * pa::kScale3);
        if (std::fabs(c1) > 32767 || std::fabs(c2) > 32767 || std::fabs(c3) > 32767) continue;
        pa::Coeffs c = {(int16_t)c1, (int16_t)c2, (int16_t)c3};
        bool rises = true;
        double prev = -INFINITY;
        for (int code = 600; code <= 2100 && rises; code += 10) {
            double p;
            rises = pa::power(c, code, &p) && p > prev;
            prev = p;
        }
        double worst = worstError(d, c);
        if (rises && worst >= 0.5 && worst <= 3.0) return c;
    }
    pa::Coeffs c = d;
    c.c1 = (int16_t)(c.c1 + 64);  // 1 dB high
    return c;
}

inline UnitTruth truthFromSeed(uint64_t seed) {
    UnitTruth u;
    u.known = true;
    u.seed = seed;
    Rng r(seed);
    u.pa[0] = drawPa(r, pa::kDefault[0]);
    u.pa[1] = drawPa(r, pa::kDefault[1]);
    u.crystalPpm = std::fmax(-8, std::fmin(8, 2.5 * r.gauss()));
    u.evmFloorDb = r.uniform(-40, -34);
    u.sensOffsetDb = std::fmax(-2.5, std::fmin(2.5, r.gauss()));
    return u;
}

// The unit behind a sim directory: its "unit" file, or defaults (the
// default coefficients, a perfect crystal) when there is none.
inline UnitTruth loadTruth(const std::string &simDir) {
    std::string text;
    UnitTruth u;
    if (!readFile(simDir + "/unit", text)) return u;
    std::istringstream in(text);
    std::string line;
    uint64_t seed = 0;
    bool haveSeed = false;
    bool weak = false, crystal = false, broken = false;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string k, v;
        l >> k >> v;
        if (k == "seed") {
            seed = strtoull(v.c_str(), nullptr, 0);
            haveSeed = true;
        } else if (k == "fault") {
            weak |= v == "weak-receiver";
            crystal |= v == "bad-crystal";
            broken |= v == "broken-pa";
        }
    }
    if (haveSeed) u = truthFromSeed(seed);
    if (crystal) {
        Rng r(seed ^ 0xc0ffee);
        u.crystalPpm = r.uniform(25, 35) * (r.uniform() < 0.5 ? -1 : 1);
    }
    u.weakReceiver = weak;
    u.badCrystal = crystal;
    u.brokenPa = broken;
    if (weak) u.sensOffsetDb += 10;
    return u;
}

// The centre of the channel the radio occupies, in MHz: channels 1-13 at
// 2407 + 5n, 14 at 2484, 5 GHz channels at 5000 + 5n; a 40 MHz channel is
// centred 10 MHz above its control channel for sideband -1 (lower) and
// 10 MHz below for +1; 80 and 160 MHz channels are named by their centre.
inline double channelCentreMhz(int channel, int bw, int sideband) {
    double f = channel == 14 ? 2484 : channel < 14 ? 2407 + 5.0 * channel : 5000 + 5.0 * channel;
    if (bw == 40) f += sideband < 0 ? 10 : sideband > 0 ? -10 : 0;
    return f;
}

// Nominal sensitivity (dBm at 10 % PER, 20 MHz) of the station's rate index
// 0-48: 0-14 legacy rates, 15-22 MCS 0-7, 23-48 two-stream MCS.
inline double nominalSensitivity(int rate, int bw) {
    static const double legacy[15] = {-96, -93, -93, -91, -91, -88, -88, -91, -90, -88, -86, -83, -80, -75, -74};
    static const double mcs[8] = {-90, -87, -85, -82, -78, -74, -72, -70};
    static const int mcsOf[26] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 15, 16, 17, 18,
                                  19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
    double s;
    if (rate < 0) rate = 0;
    if (rate < 15) s = legacy[rate];
    else if (rate < 23) s = mcs[rate - 15];
    else {
        int m = mcsOf[(rate > 48 ? 48 : rate) - 23];
        s = mcs[m % 8] + 2.0 * (m / 8);
    }
    return bw >= 40 ? s + 3.0 * std::log2(bw / 20.0) : s;
}

// Packet error rate at `margin` dB above sensitivity: 10 % at 0, about
// 0.1 % at +3, above 90 % at -3.
inline double packetErrorRate(double margin) {
    return 1.0 / (1.0 + 9.0 * std::exp(margin * std::log(111.0) / 3.0));
}

}  // namespace sim
