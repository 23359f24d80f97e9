// golden-check: the line's golden unit measured through the fixture's
// path loss and compared with its reference.  Every tester figure of the
// line rests on the loss table; a unit whose true output and sensitivity
// are known is the one check of that table that does not rest on it.
// Power within +-tolerance of the reference per channel and chain, and a receive
// test a little above the reference's sensitivity losing at most --per-max.
#include <cmath>
#include <cstdio>
#include <string>

#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

constexpr MeasureDecl kMeasures[] = {
    // The screen's line: the channel and chain furthest off (their mean
    // difference from the reference), the worst PER, the points measured.
    {"power_diff", "dB", 2, MeasureKind::Limited},
    {"per", "%", 2, MeasureKind::Limited},
    {"points", "", 0, MeasureKind::Bookkeeping},
    // The record: per channel C, chain K and set power P chC_cK_power_P
    // and chC_cK_diff_P, per channel and chain the mean chC_cK_diff
    // (within the tolerance), and per channel chC_per.
    {"ch<k>_c<k>_power_<dBm>", "dBm", 2, MeasureKind::Bookkeeping},
    {"ch<k>_c<k>_diff_<dBm>", "dB", 2, MeasureKind::Bookkeeping},
    {"ch<k>_c<k>_diff", "dB", 2, MeasureKind::Limited},
    {"ch<k>_per", "%", 2, MeasureKind::Limited},
};

constexpr double kDefaultTolerance = 0.3;  // dB
constexpr double kDefaultMargin = 3;       // dB above the sensitivity: 0.1 % PER on a sound path
constexpr double kDefaultPerMax = 10;      // %: the loss table 3 dB off

struct Args {
    Decibels tolerance{kDefaultTolerance};
    Decibels perMargin{kDefaultMargin};
    Integer<100, 1000000> frames{1000};
    Duration settle;
};

constexpr ArgDef kArgs[] = {
    {"--reference", "FILE", "--reference", Conv::Path, Field::Path, true, 0, 0,
     "the golden unit's reference file (docs/tester.md)"},
    inGroup(typedArg(RFPROBE_ARG(Args, tolerance), "--tolerance", "DB",
                     "largest mean difference from the reference's output\n(per channel and chain) that "
                     "passes, 0.05..3 dB\n(default 0.3)"),
            kLimits),
    typedArg(RFPROBE_ARG(Args, perMargin), "--per-margin", "DB",
             "the receive test's level above the reference's\nsensitivity, 0..20 dB (default 3)"),
    {"--per-max", "PCT", "--per-max", Conv::Limit, Field::EachMax, false, limitIndex(kMeasures, "per"), 0,
     "highest packet error rate that passes, % (default 10)", nullptr, kLimits},
    typedArg(RFPROBE_ARG(Args, frames), "--frames", "N", "frames of each receive test, 100..1000000 (default 1000)",
             false, "frame count"),
    typedArg(RFPROBE_ARG(Args, settle), "--settle", "S",
             "wait between starting the packet engine and each\nmeasurement, 0..86400 s (default 0)", false,
             "settle time"),
};

void defaults(Action *a) {
    const unsigned per = (unsigned)limitIndex(kMeasures, "per");
    a->limits.eachSet[per] = true;
    a->limits.each[per] = {false, true, 0, kDefaultPerMax};
}

bool check(Action *a, char *err, size_t errLen) {
    const Args &g = a->args<Args>();
    if (!(g.tolerance.db >= 0.05 && g.tolerance.db <= 3)) {
        snprintf(err, errLen, "--tolerance: %g dB is outside 0.05..3", g.tolerance.db);
        return false;
    }
    if (!(g.perMargin.db >= 0 && g.perMargin.db <= 20)) {
        snprintf(err, errLen, "--per-margin: %g dB is outside 0..20", g.perMargin.db);
        return false;
    }
    // power_diff's limits follow the tolerance.
    a->limits.eachSet[0] = true;
    a->limits.each[0] = {true, true, -g.tolerance.db, g.tolerance.db};
    return true;
}

std::string pointName(int channel, int chain, const char *what, double dbm) {
    char b[64];
    snprintf(b, sizeof b, "ch%d_c%d_%s_%g", channel, chain, what, dbm);
    return b;
}

int sendByte(StepRun &s, uint8_t cmd, int byte) {
    TestMsg m{};
    m.cmdType = cmd;
    m.byteArg = (uint8_t)byte;
    int rc = s.send(m);
    if (rc != kExitOk) s.out.status = rc;
    return rc;
}

// set-tx at the channel's rate and bandwidth with this power; the radio
// keeps it for the steps after this one.
int setTx(StepRun &s, const GoldenChannel &c, double dbm) {
    TestMsg set{};
    set.cmdType = CMD_SET_TX;
    set.byteArg = (uint8_t)c.rate;
    set.value1 = (uint32_t)c.bwMhz;
    set.value2 = (uint32_t)std::lround(dbm * 10);
    int rc = s.send(set);
    if (rc != kExitOk) return s.out.status = rc;
    StepContext &u = s.unit;
    u.txSet = true;
    u.txChannel = c.channel;
    u.txBwMhz = c.bwMhz;
    u.txRate = c.rate;
    u.txPowerDbm = dbm;
    return kExitOk;
}

// Every point of one chain on one channel.  The loss table's error at the
// channel is the mean difference of the points: one reading carries the
// tester's noise, the mean little of it.  *worst keeps the mean furthest
// from 0.
int measureChain(StepRun &s, const GoldenChannel &c, int chain, double *worst, int *points) {
    if (sendByte(s, CMD_SET_ANTENNA, chain) != kExitOk) return s.out.status;
    double sum = 0;
    for (const GoldenPoint &p : c.chains[chain]) {
        if (setTx(s, c, p.setDbm) != kExitOk) return s.out.status;
        TxReading m;
        if (measureTransmission(s, p.outputDbm, s.args<Args>().settle.ms, &m) != kExitOk) return s.out.status;
        double diff = std::round((m.powerDbm - p.outputDbm) * 1000) / 1000;
        s.detail().add(pointName(c.channel, chain, "power", p.setDbm), std::round(m.powerDbm * 1000) / 1000);
        s.detail().add(pointName(c.channel, chain, "diff", p.setDbm), diff);
        sum += diff;
        ++*points;
    }
    double mean = std::round(sum / (double)c.chains[chain].size() * 1000) / 1000;
    char name[48];
    snprintf(name, sizeof name, "ch%d_c%d_diff", c.channel, chain);
    s.detail().add(name, mean, s.act.limits.each[0]);
    if (std::fabs(mean) > std::fabs(*worst)) *worst = mean;
    return kExitOk;
}

// The receive test on the channel at the sensitivity plus the margin: the
// PER in %, or -1 with the step's error set.
double receiveTest(StepRun &s, const GoldenChannel &c) {
    StepTester &t = *s.unit.tester;
    TesterHold hold(t, &s.out.testerWaitMs, &s.out.testerHeldMs);
    if (!hold.held()) return stoppedStep(s, "while waiting for the tester"), -1;
    std::string why;
    bool set = t.setupGenerator(c.channel, c.bwMhz, c.rate, c.sensitivityDbm + s.args<Args>().perMargin.db, &why);
    s.out.lossDb = t.lossDb();
    if (!set) return testerFailed(s, why), -1;
    TestMsg start{};
    start.cmdType = CMD_START_RX;
    start.byteArg = (uint8_t)c.rate;
    start.value1 = (uint32_t)c.bwMhz;
    int rc = s.send(start);
    if (rc != kExitOk) return s.out.status = rc, -1;
    const long frames = (long)s.args<Args>().frames.n;
    bool sent = t.sendFrames(frames, &why);
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = s.send(stop, true);
    if (!sent) return testerFailed(s, why), -1;
    if (rc != kExitOk) return s.out.status = rc, -1;
    const Exchanged &x = s.detail().exchanges.back();
    double count = (double)(int32_t)x.reply.value1;
    return 100.0 * ((double)frames - count) / (double)frames;
}

void run(StepRun &s) {
    if (!testerReady(s, 0)) return;
    const GoldenReference *ref = s.unit.golden;
    if (!ref) {
        s.fail(kExitUsage, "no golden reference (the line reads --reference before the run)");
        return;
    }
    StepDetail &d = s.detail();
    const unsigned perK = (unsigned)limitIndex(kMeasures, "per");
    const Limit &perLim = s.act.limits.each[perK];
    double worst = 0, worstPer = 0;
    int points = 0;
    for (const GoldenChannel &c : ref->channels) {
        if (sendByte(s, CMD_SET_CHANNEL, c.channel) != kExitOk) return;
        s.unit.channel = c.channel;
        for (int chain = 0; chain < 2; ++chain)
            if (!c.chains[chain].empty() && measureChain(s, c, chain, &worst, &points) != kExitOk) return;
        double per = receiveTest(s, c);
        if (per < 0) return;
        per = std::round(per * 1000) / 1000;
        d.add("ch" + std::to_string(c.channel) + "_per", per, perLim);
        worstPer = std::fmax(worstPer, per);
    }
    // The summary in the record too: the report charts power_diff per port.
    d.add("power_diff", worst, s.act.limits.each[0]);
    d.add("per", worstPer, perLim);
    d.add("points", points);
    s.measured(0, worst);
    s.measured(perK, worstPer);
    s.measured(2, points);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(golden_check) = {
    {nullptr, ActionKind::Step, -1, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "measure the golden unit against its reference", "check the fixture with the golden unit",
     "    A plan step, run with the fixture's tester (run --fixture) on the\n"
     "    line's golden unit: a unit whose true output and sensitivity are in\n"
     "    its reference file (--reference, docs/tester.md). The run's serial\n"
     "    must be the reference's, and it is checked with the file before\n"
     "    anything is sent. For every channel of the reference it sends\n"
     "    set-channel, then per chain set-antenna and, for each set power,\n"
     "    set-tx and a measurement as tx-measure's through the fixture's path\n"
     "    loss. The mean difference from the reference's output of each\n"
     "    channel and chain must lie within +-tolerance. Then a receive test\n"
     "    at the reference's sensitivity plus --per-margin must lose at most\n"
     "    --per-max of its frames. The record is of kind golden (metadata kind\n"
     "    and fixture_port), and a station started with --require-golden runs\n"
     "    a port only after a passed check. Tester failures make the step\n"
     "    ERROR (exit status 6).\n",
     "    golden-check --reference golden-G1.toml --tolerance 0.3 --per-max 10\n",
     argsBlock<Args>(), check, defaults},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsTester | kNeedsGolden,
    run,
};

}  // namespace station
