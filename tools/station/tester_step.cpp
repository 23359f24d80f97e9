// rfprobe station: the steps that need the tester (see tester_step.h).
#include "station/tester_step.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "pacal/calibrate.h"
#include "station/run.h"

namespace station {

namespace {

double monoMs() { return (double)cancel::nowMs(); }

// The unit was stopped (Stop on the page, Ctrl-C): ERROR "stopped".
int stopped(StepResult *r, const char *word, const char *when) {
    snprintf(r->error, sizeof r->error, "%s: stopped %s", word, when);
    return kExitInterrupted;
}

// A tester operation failed: a stop when the unit's token was raised.
int testerError(StepResult *r, const StepTester &t, const char *word, const std::string &why) {
    if (t.stopped()) return stopped(r, word, "during the tester's work");
    snprintf(r->error, sizeof r->error, "%s: %s", word, why.c_str());
    return kExitTester;
}

// The step cannot run here: the plan check refuses it before anything is
// sent, so this is a caller that skipped the check.
bool ready(const StepContext *ctx, const char *word, bool needTx, StepResult *r) {
    const char *why = !ctx->tester                  ? "no tester (run --fixture FILE)"
                      : needTx && !ctx->txSet       ? "no set-tx before it got its reply"
                      : !needTx && ctx->channel < 0 ? "no set-channel before it got its reply"
                                                    : nullptr;
    if (!why) return true;
    snprintf(r->error, sizeof r->error, "%s: %s", word, why);
    r->status = kExitUsage;
    return false;
}

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

void runTxMeasure(const Link &l, const Options &opt, const Action &a, StepContext *ctx,
                  StepResult *r) {
    const char *word = a.cmd->word;
    if (!ready(ctx, word, true, r)) return;
    StepTester &t = *ctx->tester;
    ctx->testerUsed = true;
    r->tester = true;
    TesterHold hold(t, &r->testerWaitMs, &r->testerHeldMs);
    if (!hold.held()) {
        r->status = stopped(r, word, "while waiting for the tester");
        return;
    }
    std::string why;
    if (!t.setupAnalyser(ctx->txChannel, ctx->txBwMhz, ctx->txPowerDbm, &why)) {
        r->lossDb = t.lossDb();
        r->status = testerError(r, t, word, why);
        return;
    }
    r->lossDb = t.lossDb();
    TestMsg start{};
    start.cmdType = CMD_START_TX_FRAMES;
    int rc = sendStepRequest(l, opt, start, r);
    if (rc != kExitOk) {
        r->status = rc;
        return;
    }
    TxReading m;
    bool whole = waitMs(a.waitMs, l.stop);
    bool measured = whole && t.measure(&m, &why);
    // The engine stops whatever the tester said.
    TestMsg stop{};
    stop.cmdType = CMD_STOP_TX;
    rc = sendStepRequest(l, opt, stop, r, true);
    if (!whole) {
        r->status = stopped(r, word, "during the settle time");
        return;
    }
    if (!measured) {
        r->status = testerError(r, t, word, why);
        return;
    }
    if (rc != kExitOk) {
        r->status = rc;
        return;
    }
    const StepLimits &lim = a.limits;
    // To a thousandth: finer than any tester resolves, and the path loss
    // interpolated between its points adds digits that mean nothing.
    auto milli = [](double v) { return std::round(v * 1000) / 1000; };
    // The radio sends set-tx's power in its own steps (quarter dB, as
    // pa-cal models it): the error is the unit's against what it applied,
    // not the truncation's.  applied_power comes last, so that the limit
    // options keep their indexes.
    double applied = pacal::radioSetPower((int)std::lround(ctx->txPowerDbm * 10));
    const double figures[kMaxMeasured] = {milli(m.powerDbm), milli(m.powerDbm - applied), milli(m.evmDb),
                                          milli(m.freqErrorPpm), applied};
    static const char *const names[kMaxMeasured] = {"power", "power_error", "evm", "freq_error",
                                                    "applied_power"};
    for (int k = 0; k < kMaxMeasured; ++k)
        r->measured[k] = checkMeasured(names[k], figures[k], lim.eachSet[k] ? lim.each[k] : Limit{});
    r->measuredCount = kMaxMeasured;
    r->status = kExitOk;
}

void runRxPer(const Link &l, const Options &opt, const Action &a, StepContext *ctx,
              StepResult *r) {
    const char *word = a.cmd->word;
    if (!ready(ctx, word, false, r)) return;
    StepTester &t = *ctx->tester;
    ctx->testerUsed = true;
    r->tester = true;
    TesterHold hold(t, &r->testerWaitMs, &r->testerHeldMs);
    if (!hold.held()) {
        r->status = stopped(r, word, "while waiting for the tester");
        return;
    }
    std::string why;
    int rate = a.req.byteArg, bw = (int)a.req.value1;
    if (!t.setupGenerator(ctx->channel, bw, rate, a.levelDbm, &why)) {
        r->lossDb = t.lossDb();
        r->status = testerError(r, t, word, why);
        return;
    }
    r->lossDb = t.lossDb();
    int rc = sendStepRequest(l, opt, a.req, r);  // start-rx with the rate and bandwidth
    if (rc != kExitOk) {
        r->status = rc;
        return;
    }
    bool sent = t.sendFrames(a.frames, &why);
    TestMsg stop{};
    stop.cmdType = CMD_STOP_RX;
    rc = sendStepRequest(l, opt, stop, r, true);
    if (!sent) {
        r->status = testerError(r, t, word, why);
        return;
    }
    if (rc != kExitOk) {
        r->status = rc;
        return;
    }
    const Exchanged &x = r->exchanges[r->exchangeCount - 1];
    double count = (double)(int32_t)x.reply.value1;
    double per = 100.0 * ((double)a.frames - count) / (double)a.frames;
    const StepLimits &lim = a.limits;
    r->measured[0] = checkMeasured("count", count, lim.eachSet[0] ? lim.each[0] : Limit{});
    r->measured[1] = checkMeasured("per", per, lim.eachSet[1] ? lim.each[1] : Limit{});
    r->measuredCount = 2;
    r->status = kExitOk;
}

}  // namespace station
