// report-mkstore --line cal: records of a 4-unit calibration line, as
// sim/plans/line-cal.plan and line-tester.plan write them (line numbers,
// step names, pa-cal's values and points, tester waits).  Units vary: most
// are good, some have a weak receiver, a bad crystal or a broken PA, and
// now and then an agent does not answer.
#include "calline.h"

#include <cmath>
#include <cstdio>

namespace {

using namespace results;

struct Clock {
    int64_t t;
    Step step(int line, const char *command, std::vector<std::string> args, double seconds) {
        Step s;
        s.line = line;
        s.command = command;
        s.args = std::move(args);
        s.startedAt = formatUtc(t);
        s.durationS = seconds;
        t += (int64_t)(seconds * 1000) + 5;
        return s;
    }
};

void add(Step *s, const std::string &name, double v, std::optional<double> lo = std::nullopt,
         std::optional<double> hi = std::nullopt) {
    s->measurements.push_back({name, std::round(v * 1000) / 1000, lo, hi, Verdict::Pass});
}

// What the tester steps record about the tester they share.
void testerFigures(Step *s, std::mt19937_64 &rng) {
    std::exponential_distribution<double> wait(1.0 / 180);
    add(s, "tester_wait_ms", std::round(wait(rng)));
    add(s, "tester_held_ms", std::round(60 + 20 * std::uniform_real_distribution<double>(0, 1)(rng)));
    add(s, "path_loss", 12.4);
}

// A step's series "points" with these columns (name, unit), no rows yet.
Series &points(Step *s, std::vector<SeriesColumn> columns) {
    s->series.push_back({"points", std::move(columns), {}});
    return s->series.back();
}

// pa-cal on one chain: four first-round points off by the uncalibrated
// unit's error, a verify round within tolerance (or a broken PA that no
// fit bounds).  The points are the step's series, or, as an older station
// wrote them (older), the names p<k>_set ...
Step paCal(Clock &c, std::mt19937_64 &rng, int line, int chain, bool broken, bool older) {
    std::normal_distribution<double> noise(0, 1);
    Step s = c.step(line, "pa-cal", {std::to_string(chain), "--powers", "8,12,16,20", "--tolerance", "0.5",
                                     "--stop-on-fail"}, 4.0);
    testerFigures(&s, rng);
    const double powers[] = {8, 12, 16, 20};
    double gain = 1.8 + 0.4 * noise(rng), tilt = 0.06 * noise(rng);
    for (int i = 0; i < 3; i++) add(&s, "pa" + std::to_string(i + 1) + "_before", 100 * (i + 1));
    for (int i = 0; i < 3; i++) add(&s, "pa" + std::to_string(i + 1), 100 * (i + 1) + std::round(20 * noise(rng)));
    Series *table = older ? nullptr
                          : &points(&s, {{"set_power", "dBm"}, {"code", ""}, {"measured", "dBm"}, {"loss", "dB"},
                                         {"round", ""}, {"verify", ""}, {"dropped", ""}});
    int k = 1;
    for (double p : powers) {
        std::string n = "p" + std::to_string(k++) + "_";
        double err = broken ? -6 - 0.8 * (p - 8) : gain + tilt * (p - 14) + 0.15 * noise(rng);
        double measured = std::round((p + err) * 1000) / 1000;
        if (table) {
            table->rows.push_back({p, std::round(40 + 6 * p), measured, 12.4, 1, 0, 0});
            continue;
        }
        add(&s, n + "set", p);
        add(&s, n + "code", std::round(40 + 6 * p));
        add(&s, n + "measured", measured);
        add(&s, n + "loss", 12.4);
        add(&s, n + "round", 1);
        add(&s, n + "verify", 0);
    }
    add(&s, "determined", 1, 1.0);
    add(&s, "bounds", broken ? 0 : 1, 1.0);
    if (!broken) {
        add(&s, "residual", std::fabs(0.05 + 0.03 * noise(rng)), std::nullopt, 0.3);
        add(&s, "monotonic", 1, 1.0);
    }
    add(&s, "rounds", broken ? 1 : 2, std::nullopt, 3.0);
    add(&s, "measurements", broken ? 4 : 8);
    if (!broken)
        for (double p : powers) add(&s, "verify_error_" + std::to_string((int)p), 0.12 * noise(rng), -0.5, 0.5);
    return s;
}

// tx-measure at one set power: power error, EVM, frequency error.
Step txMeasure(Clock &c, std::mt19937_64 &rng, int line, double set, double errLimit, bool full, double ppm,
               double bias) {
    std::normal_distribution<double> noise(0, 1);
    Step s = c.step(line, "tx-measure", {"--settle", "0.05", "--power-error", "-0.5..0.5"}, 0.4);
    testerFigures(&s, rng);
    double err = bias + 0.12 * noise(rng);
    add(&s, "power", set + err);
    add(&s, "power_error", err, -errLimit, errLimit);
    add(&s, "evm", -33 + 1.2 * noise(rng), std::nullopt, full ? std::optional<double>(-25) : std::nullopt);
    add(&s, "freq_error", ppm + 1.5 * noise(rng), full ? std::optional<double>(-20) : std::nullopt,
        full ? std::optional<double>(20) : std::nullopt);
    add(&s, "applied_power", set);
    return s;
}

Step rxPer(Clock &c, std::mt19937_64 &rng, int line, bool weak) {
    std::normal_distribution<double> noise(0, 1);
    Step s = c.step(line, "rx-per", {"--rate", "7", "--bw", "20", "--level", "-84", "--frames", "500"}, 1.2);
    testerFigures(&s, rng);
    double per = std::max(0.0, (weak ? 16 : 2) + 1.2 * noise(rng));
    add(&s, "count", std::round(500 * (1 - per / 100)), std::nullopt, std::nullopt);
    add(&s, "per", std::round(per * 100) / 100, std::nullopt, 10.0);
    return s;
}

}  // namespace

Record makeCalLineRecord(std::mt19937_64 &rng, int64_t startMs, const std::string &serial, UnitFault fault,
                         bool testerPlan, bool agentDown, int k) {
    static const char *const kStations[] = {"cal1-bay1", "cal1-bay2", "cal1-bay3",
                                            "cal1-bay4"};
    Record r;
    r.id = newRecordId();
    r.serial = serial;
    r.station = kStations[k % 4];
    r.operatorName = k % 2 ? "Ana Lima" : "Jo Chen";
    r.metadata = {{"fixture", "CAL-" + std::to_string(1 + k % 4)}};
    r.planName = testerPlan ? "line-tester.plan" : "line-cal.plan";
    r.planSha256 = sha256Hex("plan text of " + r.planName);
    r.startedAt = formatUtc(startMs);
    Clock c{startMs};
    Step enter = c.step(testerPlan ? 4 : 6, "enter-test-mode", {}, agentDown ? 6.0 : 0.05);
    if (agentDown) enter.error = "enter-test-mode: no reply from 198.18.0.1 within 2000 ms (3 attempts)";
    r.steps.push_back(enter);
    double ppm = fault == UnitFault::BadCrystal ? 27 : 0;
    if (!agentDown) {
        r.steps.push_back(c.step(testerPlan ? 5 : 7, "set-channel", {"6"}, 0.01));
        if (testerPlan) {
            r.steps.push_back(c.step(6, "set-antenna", {"0"}, 0.01));
            r.steps.push_back(c.step(7, "set-tx", {"--rate", "0", "--bw", "20", "--power", "17"}, 0.01));
            r.steps.push_back(txMeasure(c, rng, 8, 17, 3, true, ppm, 1.4));
            r.steps.push_back(rxPer(c, rng, 9, fault == UnitFault::WeakReceiver));
        } else {
            r.steps.push_back(c.step(8, "set-tx", {"--rate", "0", "--bw", "20", "--power", "17"}, 0.01));
            bool broken = fault == UnitFault::BrokenPa;
            // A third of the records as a station before series wrote them:
            // a line's store holds both.
            bool older = k % 3 == 0;
            r.steps.push_back(paCal(c, rng, 9, 0, broken, older));
            if (!broken) {
                r.steps.push_back(paCal(c, rng, 10, 1, false, older));
                r.steps.push_back(c.step(11, "pa-save", {}, 0.2));
                r.steps.push_back(c.step(14, "set-antenna", {"0"}, 0.01));
                const int lines[] = {16, 18, 20};
                const double sets[] = {8, 14, 20};
                for (int i = 0; i < 3; i++) {
                    r.steps.push_back(c.step(lines[i] - 1, "set-tx", {"--rate", "0", "--bw", "20", "--power",
                                                                      std::to_string((int)sets[i])}, 0.01));
                    r.steps.push_back(txMeasure(c, rng, lines[i], sets[i], 0.5, i == 2, ppm, 0.0));
                }
                Step sweep = c.step(22, "tx-sweep", {"--powers", "5,9,13,17,21", "--settle", "0.05"}, 2.0);
                testerFigures(&sweep, rng);
                std::normal_distribution<double> noise(0, 1);
                double worst = 0;
                Series *table = older ? nullptr
                                      : &points(&sweep, {{"set_power", "dBm"}, {"applied_power", "dBm"},
                                                         {"power", "dBm"}, {"power_error", "dB"}});
                for (int p : {5, 9, 13, 17, 21}) {
                    // The saved curve drifts at the top of the range.
                    double err = 0.08 * noise(rng) + (p == 21 ? 0.35 : 0);
                    if (table) {
                        table->rows.push_back({(double)p, (double)p, std::round((p + err) * 1000) / 1000,
                                               std::round(err * 1000) / 1000});
                    } else {
                        add(&sweep, "power_" + std::to_string(p), p + err);
                        add(&sweep, "applied_power_" + std::to_string(p), p);
                    }
                    add(&sweep, "power_error_" + std::to_string(p), err, -1.0, 1.0);
                    if (std::fabs(err) > std::fabs(worst)) worst = err;
                }
                add(&sweep, "power_error", worst, -1.0, 1.0);
                add(&sweep, "points", 5);
                r.steps.push_back(sweep);
                r.steps.push_back(rxPer(c, rng, 24, fault == UnitFault::WeakReceiver));
            }
        }
        if (r.steps.back().command != "pa-cal") r.steps.push_back(c.step(testerPlan ? 10 : 25, "finish", {}, 0.1));
    }
    r.endedAt = formatUtc(c.t);
    applyVerdicts(&r);
    return r;
}
