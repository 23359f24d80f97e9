// tx-sweep: tx-measure at a list of set powers, each point against the
// power-error limit: a line checks the calibrated curve over the range the
// unit transmits in, not at one power.
#include <cmath>
#include <cstdio>
#include <string>

#include "pacal/calibrate.h"
#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

constexpr MeasureDecl kMeasures[] = {
    // The screen's line: the point furthest off, and how many points.
    {"power_error", "dB", 2, MeasureKind::Limited},
    {"points", "", 0, MeasureKind::Bookkeeping},
    // The record: every point's error against the limits, named by its
    // set power (the points themselves are the series below).
    {"power_error_<dBm>", "dB", 2, MeasureKind::Limited},
};

// Every point, in the order of --powers: the set power, the power the
// radio applies for it, what the tester measured and the difference (drawn
// against the set power, within --power-error as every point's
// power_error_<dBm> keeps it).
constexpr SeriesColumnDecl kPointColumns[] = {{"set_power", "dBm", SeriesRole::X},
                                              {"applied_power", "dBm", SeriesRole::Kept},
                                              {"power", "dBm", SeriesRole::Kept},
                                              {"power_error", "dB", SeriesRole::Y, "power_error_<dBm>"}};
constexpr SeriesDecl kPoints = seriesDecl("points", kPointColumns);
constexpr const SeriesDecl *kSeries[] = {&kPoints};

struct Args {
    SetPowers powers;
    Duration settle;
};

constexpr ArgDef kArgs[] = {
    typedArg(RFPROBE_ARG(Args, powers), "--powers", "LIST",
             "set powers in dBm, comma-separated, at most one decimal\n"
             "each, within 5..21 (at most 16)",
             true),
    typedArg(RFPROBE_ARG(Args, settle), "--settle", "S",
             "wait between starting the packet engine and each\nmeasurement, 0..86400 s (default 0)", false,
             "settle time"),
    {"--power-error", "LO..HI", "--power-error", Conv::Range, Field::Each, false,
     limitIndex(kMeasures, "power_error"), 0,
     "limits of every point's error from the power the radio\n"
     "applies, dB",
     nullptr, kLimits},
    kStopOnFail,
};

bool check(Action *a, char *err, size_t errLen) {
    const SetPowers &c = a->args<Args>().powers;
    for (unsigned i = 0; i < c.count; ++i) {
        if (c.dbm[i] < pacal::kPowerLowDbm || c.dbm[i] > pacal::kPowerHighDbm) {
            snprintf(err, errLen, "--powers: %g dBm is outside the radio's range %g..%g dBm", c.dbm[i],
                     pacal::kPowerLowDbm, pacal::kPowerHighDbm);
            return false;
        }
    }
    return true;
}

std::string dbmName(const char *prefix, double dbm) {
    char b[48];
    snprintf(b, sizeof b, "%s_%g", prefix, dbm);
    return b;
}

// set-tx at the plan's last rate and bandwidth with this power.
int setPower(StepRun &s, double dbm) {
    StepContext &u = s.unit;
    TestMsg set{};
    set.cmdType = CMD_SET_TX;
    set.byteArg = (uint8_t)u.txRate;
    set.value1 = (uint32_t)u.txBwMhz;
    set.value2 = (uint32_t)std::lround(dbm * 10);
    int rc = s.send(set);
    if (rc != kExitOk) return s.out.status = rc;
    u.txPowerDbm = dbm;  // the radio keeps it for the steps after this one
    return kExitOk;
}

// The radio is left at the last power.
void effect(const Action &a, RadioState &r) {
    const SetPowers &p = a.args<Args>().powers;
    if (r.txSet && p.count) r.txPowerDbm = p.dbm[p.count - 1];
}

void run(StepRun &s) {
    if (!testerReady(s, kNeedsTx)) return;
    const StepLimits &l = s.act.limits;
    const Args &a = s.args<Args>();
    StepDetail &d = s.detail();
    const Limit &lim = l.eachSet[0] ? l.each[0] : l.common;
    double worst = 0;
    for (unsigned i = 0; i < a.powers.count; ++i) {
        double dbm = a.powers.dbm[i];
        if (setPower(s, dbm) != kExitOk) return;
        double applied = pacal::radioSetPower((int)std::lround(dbm * 10));
        TxReading m;
        if (measureTransmission(s, applied, a.settle.ms, &m) != kExitOk) return;
        double power = std::round(m.powerDbm * 1000) / 1000;
        double error = std::round((m.powerDbm - applied) * 1000) / 1000;
        d.addRow(kPoints, {dbm, applied, power, error});
        d.add(dbmName("power_error", dbm), error, lim);
        if (std::fabs(error) > std::fabs(worst)) worst = error;
    }
    s.measured(0, worst);
    s.measured(1, a.powers.count);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(tx_sweep) = {
    {nullptr, ActionKind::Step, -1, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "tx-measure at a list of set powers", "measure the transmission over a range of powers",
     "    A plan step, run with the fixture's tester (run --fixture), after a\n"
     "    set-tx. For each power of --powers it sends set-tx with the rate and\n"
     "    bandwidth of the plan's last set-tx and that power, then measures as\n"
     "    tx-measure does: the tester's turn, the analyser set, start-tx,\n"
     "    --settle, the measurement, stop-tx. Each point's power_error (dB from\n"
     "    the power the radio applies) is checked against --power-error; the\n"
     "    record keeps power_error_P for every set power P and every point as\n"
     "    the step's series \"points\" (set_power, applied_power, power,\n"
     "    power_error); the line shows the point furthest off. The radio is left at\n"
     "    the last power. Tester failures make the step ERROR (exit status 6).\n",
     "    tx-sweep --powers 5,9,13,17,21 --settle 0.05 --power-error -0.5..0.5\n",
     argsBlock<Args>(), check},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsTx | kNeedsTester,
    run,
    effect,
    kSeries,
    seriesCount(kSeries),
};

}  // namespace station
