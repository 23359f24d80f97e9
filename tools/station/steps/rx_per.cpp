// rx-per: the tester's generator feeds a receive test on the plan's last
// set-channel; the unit counts what it received.
#include "station/common_args.h"
#include "station/run.h"
#include "station/step.h"

namespace station {

namespace {

constexpr MeasureDecl kMeasures[] = {
    {"count", "", 0, MeasureKind::Limited},  // frames received
    {"per", "%", 2, MeasureKind::Limited},   // 100 * (frames - count) / frames
};

constexpr ArgDef kArgs[] = {
    kRate,
    kBandwidth,
    {"--level", "DBM", "--level", Conv::Level, Field::Level, true, 0, 0,
     "the generator's level at the unit's port, dBm, -150..30"},
    {"--frames", "N", "frame count", Conv::Integer, Field::Frames, true, 1, 1000000,
     "frames the generator sends, 1..1000000"},
    {"--count", "LO..HI", "--count", Conv::Range, Field::Each, false, measureIndex(kMeasures, "count"), 0,
     "limits of the received count", nullptr, kLimits},
    {"--per", "LO..HI", "--per", Conv::Range, Field::Each, false, measureIndex(kMeasures, "per"), 0,
     "limits of the packet error rate, %", nullptr, kLimits},
    {"--per-max", "PCT", "--per-max", Conv::Limit, Field::EachMax, false, measureIndex(kMeasures, "per"), 0,
     "highest packet error rate that passes, % (--per ..PCT)", nullptr, kLimits},
    kStopOnFail,
};

void run(StepRun &s) {
    if (!testerReady(s, kNeedsChannel)) return;
    StepTester &t = *s.unit.tester;
    TesterHold hold(t, &s.out.testerWaitMs, &s.out.testerHeldMs);
    if (!hold.held()) {
        stoppedStep(s, "while waiting for the tester");
        return;
    }
    const Action &a = s.act;
    std::string why;
    bool set = t.setupGenerator(s.unit.channel, (int)a.req.value1, a.req.byteArg, a.levelDbm, &why);
    s.out.lossDb = t.lossDb();
    if (!set) {
        testerFailed(s, why);
        return;
    }
    int rc = s.send(a.req);  // start-rx with the rate and bandwidth
    if (rc != kExitOk) {
        s.out.status = rc;
        return;
    }
    bool sent = t.sendFrames(a.frames, &why);
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = s.send(stop, true);
    if (!sent) {
        testerFailed(s, why);
        return;
    }
    if (rc != kExitOk) {
        s.out.status = rc;
        return;
    }
    const Exchanged &x = s.out.exchanges[s.out.exchangeCount - 1];
    double count = (double)(int32_t)x.reply.value1;
    s.measured(0, count);
    s.measured(1, 100.0 * ((double)a.frames - count) / (double)a.frames);
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(rx_per) = {
    {"rx-per", ActionKind::Step, CMD_START_RX, testerStepAlone, kArgs, kPlanStep, ReplyView::Ok,
     "the tester's generator feeds a receive test", "count frames sent by the tester",
     "    A plan step, run with the fixture's tester (run --fixture). It takes the\n"
     "    tester's turn, sets the generator to the plan's last set-channel with\n"
     "    this rate and bandwidth at --level (dBm at the unit's port: the\n"
     "    fixture's path loss is added to what the generator sends), sends\n"
     "    start-rx, has the generator send --frames frames, and sends stop-rx.\n"
     "    It measures count (frames received) and per (the packet error rate,\n"
     "    100 * (frames - count) / frames, %). Tester failures make the step\n"
     "    ERROR (exit status 6).\n",
     "    rx-per --rate 0 --bw 20 --level -70 --frames 1000 --per-max 10\n"},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsChannel | kNeedsTester | kGeneratorRate,
    run,
};

}  // namespace station
