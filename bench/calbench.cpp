// calbench: the PA calibration loop (tools/pacal) on simulated units, with
// no router and no tester process: each unit's truth is drawn from its seed
// (sim/unittruth.h), the radio's detector code follows its stored
// coefficients (sim/pamodel.h), and the tester's figure is the true output
// plus Gaussian noise.  bench/cal runs it and keeps its table in
// bench/RESULTS.md.
//
//   calbench [--units N] [--first-seed S] [--sigma DB] [--noise-seed S]
//            [--powers 5,10.3,15.7,21] [--tolerance 0.5] [--max-rounds 2] [--markdown]
//
// The error of a unit is the TRUE one (what the tester would see without
// noise) at every whole dBm from 5 to 21, the range the line transmits in,
// with the coefficients it holds: before calibration the defaults, after
// it the calibrated ones (the originals again where it did not PASS).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pacal/calibrate.h"
#include "pamodel.h"
#include "unittruth.h"

namespace {

struct SimUnit : pacal::Target {
    sim::UnitTruth truth;
    int chain = 0;
    pa::Coeffs stored;
    sim::Rng *noise;
    double sigma;

    bool readCoeffs(pacal::Coeffs *c, std::string *) override {
        *c = {stored.c1, stored.c2, stored.c3};
        return true;
    }
    bool writeCoeffs(const pacal::Coeffs &c, std::string *) override {
        stored = {c.c1, c.c2, c.c3};
        return true;
    }
    bool measure(int tenths, double *dbm, double *loss, std::string *) override {
        int code = pa::detectorCode(stored, pacal::radioSetPower(tenths));
        *dbm = truth.output(chain, code) + sigma * noise->gauss();
        *loss = 0;
        return true;
    }
};

double trueError(const sim::UnitTruth &u, int chain, const pa::Coeffs &held, double set) {
    return std::fabs(u.output(chain, pa::detectorCode(held, set)) - set);
}

// Every whole dBm of the range the line uses.
std::vector<double> rangePowers() {
    std::vector<double> v;
    for (int p = 5; p <= 21; p++) v.push_back(p);
    return v;
}

double pct(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    double k = p / 100 * (v.size() - 1);
    size_t i = (size_t)k;
    return i + 1 < v.size() ? v[i] + (k - i) * (v[i + 1] - v[i]) : v[i];
}

std::vector<double> parseList(const char *s) {
    std::vector<double> v;
    for (char *end; *s; s = *end ? end + 1 : end) {
        v.push_back(strtod(s, &end));
        if (end == s) break;
    }
    return v;
}

}  // namespace

int main(int argc, char **argv) {
    int units = 100;
    uint64_t firstSeed = 1, noiseSeed = 2026;
    double sigma = 0.1;
    bool markdown = false;
    pacal::CalOptions opt;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!strcmp(a, "--markdown")) {
            markdown = true;
            continue;
        }
        if (!v) {
            fprintf(stderr, "calbench: %s: unknown, or a value is missing\n", a);
            return 2;
        }
        i++;
        if (!strcmp(a, "--units")) units = atoi(v);
        else if (!strcmp(a, "--first-seed")) firstSeed = strtoull(v, nullptr, 0);
        else if (!strcmp(a, "--noise-seed")) noiseSeed = strtoull(v, nullptr, 0);
        else if (!strcmp(a, "--sigma")) sigma = atof(v);
        else if (!strcmp(a, "--powers")) opt.powers = parseList(v);
        else if (!strcmp(a, "--tolerance")) opt.toleranceDb = atof(v);
        else if (!strcmp(a, "--max-rounds")) opt.maxRounds = atoi(v);
        else {
            fprintf(stderr, "calbench: %s: unknown option\n", a);
            return 2;
        }
    }
    std::string err;
    if (units < 1 || !pacal::checkOptions(opt, &err)) {
        fprintf(stderr, "calbench: %s\n", units < 1 ? "--units must be at least 1" : err.c_str());
        return 2;
    }

    sim::Rng noise(noiseSeed);
    const std::vector<double> grid = rangePowers();
    std::vector<double> before, after, unitWorst, perChainCount, guards;
    int chains = 0, fitJudged = 0, passed = 0, passedOutside = 0, unitsAllPassed = 0, measurements = 0, rounds[11] = {};
    double seconds = 0;
    std::string failures;
    for (int n = 0; n < units; n++) {
        sim::UnitTruth u = sim::truthFromSeed(firstSeed + n);
        bool allPassed = true;
        double worst = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (int chain = 0; chain < 2; chain++) {
            SimUnit s;
            s.truth = u;
            s.chain = chain;
            s.stored = pa::kDefault[chain];
            s.noise = &noise;
            s.sigma = sigma;
            for (double p : grid) before.push_back(trueError(u, chain, s.stored, p));
            pacal::CalResult r = pacal::calibrate(s, opt);
            chains++;
            measurements += r.measurements;
            perChainCount.push_back(r.measurements);
            fitJudged += !r.fitJudged.empty();
            if (std::isfinite(r.guardBandDb)) guards.push_back(r.guardBandDb);
            rounds[std::min(r.rounds, 10)]++;
            if (r.status == pacal::CalStatus::Pass) {
                passed++;
            } else {
                allPassed = false;
                char line[240];
                snprintf(line, sizeof line, "  seed %llu chain %d: %s: %s\n", (unsigned long long)u.seed, chain,
                         pacal::calStatusName(r.status), r.why.c_str());
                failures += line;
            }
            double chainWorst = 0;
            for (double p : grid) {
                after.push_back(trueError(u, chain, s.stored, p));
                chainWorst = std::fmax(chainWorst, after.back());
            }
            worst = std::fmax(worst, chainWorst);
            passedOutside += r.status == pacal::CalStatus::Pass && chainWorst > opt.toleranceDb;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        unitsAllPassed += allPassed;
        unitWorst.push_back(worst);
    }
    double worstAfter = *std::max_element(after.begin(), after.end());
    const double kWithinDb = 0.4;  // what a unit must hold over the range after calibration
    int within = 0;
    for (double w : unitWorst) within += w <= kWithinDb;
    double perChain = (double)measurements / chains;
    double medianCount = pct(perChainCount, 50);
    double maxCount = *std::max_element(perChainCount.begin(), perChainCount.end());
    std::string roundsText;
    for (int k = 1; k <= 10; k++)
        if (rounds[k]) roundsText += (roundsText.empty() ? "" : ", ") + std::to_string(rounds[k]) + " in " + std::to_string(k);

    const char *row = markdown ? "| %s | %s | %s |\n" : "%-44s %-34s %s\n";
    if (markdown) printf("| figure | value | target |\n|---|---|---|\n");
    char v[160];
    auto line = [&](const char *what, const char *val, const char *target) { printf(row, what, val, target); };
    snprintf(v, sizeof v, "median %.3f, p90 %.3f, p99 %.3f, worst %.3f", pct(before, 50), pct(before, 90),
             pct(before, 99), *std::max_element(before.begin(), before.end()));
    line("power error before, dB (absolute)", v, "");
    snprintf(v, sizeof v, "median %.3f, p90 %.3f, p99 %.3f, worst %.3f", pct(after, 50), pct(after, 90),
             pct(after, 99), worstAfter);
    line("power error after, dB (absolute)", v, "p99 <= 0.25");
    snprintf(v, sizeof v, "%d of %d", within, units);
    line("units within +-0.4 dB after", v, "all");
    snprintf(v, sizeof v, "%d of %d chains (%d of %d units)", passed, chains, unitsAllPassed, units);
    line("converged (PASS)", v, "all");
    snprintf(v, sizeof v, "%d", passedOutside);
    line("PASS with a true error above the tolerance", v, "0");
    snprintf(v, sizeof v, "%s", roundsText.c_str());
    line("rounds (chains in each)", v, "");
    snprintf(v, sizeof v, "median %.0f, mean %.2f, most %.0f", medianCount, perChain, maxCount);
    line("tester measurements per chain", v, "median <= 8, most <= 12");
    snprintf(v, sizeof v, "median %.3f, p10 %.3f, p90 %.3f", pct(guards, 50), pct(guards, 10), pct(guards, 90));
    line("guard band (2.326 sigma of the noise), dB", v, "");
    snprintf(v, sizeof v, "%d", fitJudged);
    line("chains whose last verify the fit on all points judged", v, "");
    snprintf(v, sizeof v, "%.3f ms", seconds / units * 1000);
    line("time per unit (the loop's own work)", v, "");
    if (!failures.empty()) fprintf(stderr, "not PASS:\n%s", failures.c_str());
    bool met = within == units && pct(after, 99) <= 0.25 && medianCount <= 8 && maxCount <= 12 && passedOutside == 0;
    return met ? 0 : 1;
}
