// rx-sweep: a receiver-sensitivity search.  rx-per at each level of a list
// or a range, rising: the PER against level as the step's series "per",
// and the sensitivity, the lowest level from which every level swept meets
// --per-max.  With --early-stop it ends once two levels in a row met it.
#include <algorithm>
#include <cmath>

#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

// The screen's line, in this order; the limit options below index it.
constexpr MeasureDecl kMeasures[] = {
    {"sensitivity", "dBm", 1, MeasureKind::Limited},  // the lowest level meeting --per-max
    {"per", "%", 2, MeasureKind::Limited},            // there (none met: the lowest PER seen)
    {"levels", "", 0, MeasureKind::Bookkeeping},      // levels measured
};
constexpr unsigned kSensitivity = 0, kPer = 1, kLevels = 2;

// Every level measured, rising: the PER against level, held to --per-max
// (the limit of the step's "per").
constexpr SeriesColumnDecl kPerColumns[] = {
    {"level", "dBm", SeriesRole::X},
    {"per", "%", SeriesRole::Y, "per"},
    {"count", "", SeriesRole::Kept},
};
constexpr SeriesDecl kPerSeries = seriesDecl("per", kPerColumns);
constexpr const SeriesDecl *kSeries[] = {&kPerSeries};

struct Args {
    Levels levels;
    Integer<1, 1000000> frames{500};
    Flag earlyStop;
};

constexpr ArgDef kArgs[] = {
    kRate,
    kBandwidth,
    typedArg(RFPROBE_ARG(Args, levels), "--levels", "LIST",
             "the generator's levels at the unit's port, dBm, -150..30:\n"
             "a list (-96,-90,-84) or LO..HI with --step (at most 64)",
             true),
    typedArg(RFPROBE_ARG(Args, levels.step), "--step", "DB", "the step of a range of --levels, dB"),
    typedArg(RFPROBE_ARG(Args, frames), "--frames", "N", "frames per level, 1..1000000 (default 500)", false,
             "frame count"),
    typedArg(RFPROBE_ARG(Args, earlyStop), "--early-stop", "",
             "end once two levels in a row met --per-max"),
    {"--per-max", "PCT", "--per-max", Conv::Limit, Field::EachMax, true, limitIndex(kMeasures, "per"), 0,
     "highest packet error rate a level may have to count as\nreceived, %", nullptr, kLimits},
    {"--sensitivity", "LO..HI", "--sensitivity", Conv::Range, Field::Each, false,
     limitIndex(kMeasures, "sensitivity"), 0, "limits of the sensitivity, dBm", nullptr, kLimits},
    {"--sensitivity-max", "DBM", "--sensitivity-max", Conv::Limit, Field::EachMax, false,
     limitIndex(kMeasures, "sensitivity"), 0, "highest sensitivity that passes, dBm (--sensitivity ..DBM)",
     nullptr, kLimits},
    kStopOnFail,
};

double milli(double v) { return std::round(v * 1000) / 1000; }

void run(StepRun &s) {
    if (!testerReady(s, kNeedsChannel)) return;
    const Args &a = s.args<Args>();
    const double perMax = s.act.limits.each[kPer].high;
    const double frames = (double)a.frames.n;
    std::vector<double> levels(a.levels.dbm, a.levels.dbm + a.levels.count);
    std::sort(levels.begin(), levels.end());
    StepDetail &d = s.detail();
    bool met = false;
    double sensitivity = 0, perThere = 0, lowestPer = 100;
    int inRow = 0, measured = 0;
    for (double level : levels) {
        double count;
        if (receiveBurst(s, level, (long)a.frames.n, &count) != kExitOk) return;
        double per = milli(100.0 * (frames - count) / frames);
        d.addRow(kPerSeries, {level, per, count});
        ++measured;
        lowestPer = std::min(lowestPer, per);
        if (per > perMax) {
            met = false, inRow = 0;  // a level above it lost too many: the search goes on
            continue;
        }
        if (!met) met = true, sensitivity = level, perThere = per;
        if (a.earlyStop.on && ++inRow == 2) break;
    }
    if (met) s.measured(kSensitivity, sensitivity);
    s.measured(kPer, met ? perThere : lowestPer);
    s.measured(kLevels, measured);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(rx_sweep) = {
    {nullptr, ActionKind::Step, CMD_START_RX, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "rx-per at a list of levels: the sensitivity", "search the receiver's sensitivity",
     "    A plan step, run with the fixture's tester (run --fixture), after\n"
     "    set-channel. For each level of --levels, lowest first, it receives\n"
     "    --frames frames from the tester's generator as rx-per does (the\n"
     "    tester's turn per level, start-rx with this rate and bandwidth, the\n"
     "    burst, stop-rx). It measures sensitivity (dBm: the lowest level from\n"
     "    which every level swept lost at most --per-max of its frames), per\n"
     "    (the PER there, %; with no such level the lowest PER seen, which\n"
     "    fails --per-max) and levels (how many were measured); the record\n"
     "    keeps every level as the step's series \"per\" (level, per, count).\n"
     "    --early-stop ends the search once two levels in a row met --per-max.\n"
     "    Tester failures make the step ERROR (exit status 6).\n",
     "    rx-sweep --rate 7 --bw 20 --levels -96..-70 --step 2 --frames 200 --per-max 10 \\\n"
     "        --early-stop --sensitivity-max -85\n",
     argsBlock<Args>()},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsChannel | kNeedsTester | kGeneratorRate,
    run,
    nullptr,
    kSeries,
    seriesCount(kSeries),
};

}  // namespace station
