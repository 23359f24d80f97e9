// sleep: a wait between steps; sends nothing.
#include "station/step/step.h"

namespace station {

namespace {

struct Args {
    Duration seconds;
};

constexpr ArgDef kArgs[] = {
    {nullptr, "S", "sleep", Conv::Seconds, Field::Slot, true, 0, 0, nullptr, "SECONDS", nullptr, false,
     RFPROBE_ARG(Args, seconds).offset},
};
static_assert(RFPROBE_ARG(Args, seconds).conv == Conv::Seconds, "sleep's argument is a duration");

void run(StepRun &s) {
    if (waitMs(s.args<Args>().seconds.ms, s.link.stop)) {
        s.out.status = kExitOk;
        return;
    }
    s.fail(kExitInterrupted, "interrupted");
}

}  // namespace

RFPROBE_STEP(sleep) = {
    {nullptr, ActionKind::Step, -1, nullptr, kArgs, kPlanStep | kNoAgent, ReplyView::Ok,
     "wait S seconds (for plans)", "wait",
     "    Waits S seconds (0..86400, up to 3 decimals) and sends nothing. Meant\n"
     "    for plans.\n",
     nullptr, argsBlock<Args>()},
    nullptr,
    0,
    0,
    run,
};

}  // namespace station
