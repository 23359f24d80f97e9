// rfprobe station: the tester plug for plan steps (see tester.h).
#include "station/step/tester.h"

#include <cstdio>

namespace station {

namespace {

double monoMs() { return (double)cancel::nowMs(); }

}  // namespace

TesterHold::TesterHold(StepTester &t, double *waitedMs, double *heldMs)
    : t_(t), heldMs_(heldMs), held_(t.take(waitedMs)) {
    since_ = monoMs();
}

TesterHold::~TesterHold() {
    if (!held_) return;
    t_.give();
    *heldMs_ += monoMs() - since_;
}

int stoppedStep(StepRun &s, const char *when) {
    s.fail(kExitInterrupted, std::string("stopped ") + when);
    return kExitInterrupted;
}

int testerFailed(StepRun &s, const std::string &why) {
    if (s.unit.tester && s.unit.tester->stopped()) return stoppedStep(s, "during the tester's work");
    s.fail(kExitTester, why);
    return kExitTester;
}

bool testerReady(StepRun &s, unsigned needs) {
    const StepContext &u = s.unit;
    const char *why = !u.tester                                  ? "no tester (run --fixture FILE)"
                      : (needs & kNeedsTx) && !u.txSet            ? "no set-tx before it got its reply"
                      : (needs & kNeedsChannel) && u.channel < 0 ? "no set-channel before it got its reply"
                                                                 : nullptr;
    if (why) {
        s.fail(kExitUsage, why);
        return false;
    }
    s.unit.testerUsed = true;
    s.out.tester = true;
    return true;
}

int measureTransmission(StepRun &s, double expectDbm, uint32_t settleMs, TxReading *m) {
    StepContext &u = s.unit;
    StepTester &t = *u.tester;
    TesterHold hold(t, &s.out.testerWaitMs, &s.out.testerHeldMs);
    if (!hold.held()) return stoppedStep(s, "while waiting for the tester");
    std::string why;
    bool set = t.setupAnalyser(u.txChannel, u.txBwMhz, expectDbm, &why);
    s.out.lossDb = t.lossDb();
    if (!set) return testerFailed(s, why);
    TestMsg start{};
    start.cmdType = CMD_START_TX_FRAMES;
    int rc = s.send(start);
    if (rc != kExitOk) return s.out.status = rc;
    bool whole = waitMs(settleMs, s.link.stop);
    bool measured = whole && t.measure(m, &why);
    // The packet engine stops whatever the tester said.
    TestMsg stop{};
    stop.cmdType = CMD_STOP_TX;
    rc = s.send(stop, true);
    if (!whole) return stoppedStep(s, "during the settle time");
    if (!measured) return testerFailed(s, why);
    if (rc != kExitOk) return s.out.status = rc;
    return kExitOk;
}

int receiveBurst(StepRun &s, double levelDbm, long frames, double *count) {
    StepContext &u = s.unit;
    StepTester &t = *u.tester;
    TesterHold hold(t, &s.out.testerWaitMs, &s.out.testerHeldMs);
    if (!hold.held()) return stoppedStep(s, "while waiting for the tester");
    const TestMsg &startRx = s.act.req;  // start-rx with the rate and bandwidth
    std::string why;
    bool set = t.setupGenerator(u.channel, (int)startRx.value1, startRx.byteArg, levelDbm, &why);
    s.out.lossDb = t.lossDb();
    if (!set) return testerFailed(s, why);
    int rc = s.send(startRx);
    if (rc != kExitOk) return s.out.status = rc;
    bool sent = t.sendFrames(frames, &why);
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = s.send(stop, true);
    if (!sent) return testerFailed(s, why);
    if (rc != kExitOk) return s.out.status = rc;
    const Exchanged &x = s.out.detail ? s.out.detail->exchanges.back() : s.out.exchanges[s.out.exchangeCount - 1];
    *count = (double)(int32_t)x.reply.value1;
    return kExitOk;
}

}  // namespace station
