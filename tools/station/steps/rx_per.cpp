// rx-per: the tester's generator feeds a receive test on the plan's last
// set-channel; the unit counts what it received.
#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

constexpr MeasureDecl kMeasures[] = {
    {"count", "", 0, MeasureKind::Limited},  // frames received
    {"per", "%", 2, MeasureKind::Limited},   // 100 * (frames - count) / frames
};

struct Args {
    Level level;
    Integer<1, 1000000> frames;
};

constexpr ArgDef kArgs[] = {
    kRate,
    kBandwidth,
    typedArg(RFPROBE_ARG(Args, level), "--level", "DBM",
             "the generator's level at the unit's port, dBm, -150..30", true),
    typedArg(RFPROBE_ARG(Args, frames), "--frames", "N", "frames the generator sends, 1..1000000", true,
             "frame count"),
    {"--count", "LO..HI", "--count", Conv::Range, Field::Each, false, limitIndex(kMeasures, "count"), 0,
     "limits of the received count", nullptr, kLimits},
    {"--per", "LO..HI", "--per", Conv::Range, Field::Each, false, limitIndex(kMeasures, "per"), 0,
     "limits of the packet error rate, %", nullptr, kLimits},
    {"--per-max", "PCT", "--per-max", Conv::Limit, Field::EachMax, false, limitIndex(kMeasures, "per"), 0,
     "highest packet error rate that passes, % (--per ..PCT)", nullptr, kLimits},
    kStopOnFail,
};

void run(StepRun &s) {
    if (!testerReady(s, kNeedsChannel)) return;
    const Args &a = s.args<Args>();
    double count;
    if (receiveBurst(s, a.level.dbm, (long)a.frames.n, &count) != kExitOk) return;
    s.measured(0, count);
    s.measured(1, 100.0 * ((double)a.frames.n - count) / (double)a.frames.n);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(rx_per) = {
    {nullptr, ActionKind::Step, CMD_START_RX, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "the tester's generator feeds a receive test", "count frames sent by the tester",
     "    A plan step, run with the fixture's tester (run --fixture). It takes the\n"
     "    tester's turn, sets the generator to the plan's last set-channel with\n"
     "    this rate and bandwidth at --level (dBm at the unit's port: the\n"
     "    fixture's path loss is added to what the generator sends), sends\n"
     "    start-rx, has the generator send --frames frames, and sends stop-rx.\n"
     "    It measures count (frames received) and per (the packet error rate,\n"
     "    100 * (frames - count) / frames, %). Tester failures make the step\n"
     "    ERROR (exit status 6).\n",
     "    rx-per --rate 0 --bw 20 --level -70 --frames 1000 --per-max 10\n",
     argsBlock<Args>()},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsChannel | kNeedsTester | kGeneratorRate,
    run,
};

}  // namespace station
