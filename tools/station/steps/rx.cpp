// rx: a timed receive test on the unit alone: start-rx, the wait, stop-rx
// (also when the wait was interrupted), and the received count.
#include "station/args/common_args.h"
#include "station/step/step.h"

namespace station {

namespace {

constexpr MeasureDecl kMeasures[] = {
    {"count", "", 0, MeasureKind::Limited},  // stop-rx's count as a signed 32-bit number
};

struct Args {
    Duration seconds;
};

constexpr ArgDef kArgs[] = {
    kRate,
    kBandwidth,
    typedArg(RFPROBE_ARG(Args, seconds), "--seconds", "S", "time to receive, 0..86400, up to 3 decimals", true,
             "seconds"),
    kCountMin,
    kCountMax,
    kStopOnFail,
};

void run(StepRun &s) {
    int rc = s.send(s.act.req);  // start-rx with the rate and bandwidth
    if (rc != kExitOk) {
        s.out.status = rc;
        return;
    }
    uint32_t ms = s.args<Args>().seconds.ms;
    if (s.opt.verbose) say(s.link, "receiving for %u ms", ms);
    bool whole = waitMs(ms, s.link.stop);
    if (!whole) say(s.link, "rx: wait interrupted, stopping the receive test");
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = s.send(stop, !whole);
    if (rc != kExitOk) {
        s.out.status = rc;
        return;
    }
    s.measured(0, (double)(int32_t)s.out.exchanges[s.out.exchangeCount - 1].reply.value1);
    if (!whole) return s.fail(kExitInterrupted, "interrupted during the receive wait");
    s.out.status = kExitOk;
}

}  // namespace

RFPROBE_STEP(rx) = {
    {nullptr, ActionKind::Step, CMD_START_RX, nullptr, kArgs, kPlanStep, ReplyView::Ok,
     "start-rx, wait S seconds, stop-rx", "run a timed receive test",
     "    Sends start-rx, waits S seconds, sends stop-rx and prints the received\n"
     "    count. Stops with exit status 4 if start-rx gets no reply. Interrupted\n"
     "    during the wait, it still sends stop-rx, then exits with status 130.\n"
     "    With limits the count, read as a signed 32-bit number, is checked\n"
     "    against them: the step ends PASS or FAIL (exit status 1).\n",
     "    rfprobe rx --rate 15 --bw 40 --seconds 2 --min 3800 --max 4200\n",
     argsBlock<Args>()},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    0,
    run,
};

}  // namespace station
