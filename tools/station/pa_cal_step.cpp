// rfprobe station: the pa-cal step (see pa_cal_step.h).
#include "station/pa_cal_step.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "station/run.h"

namespace station {

namespace {

// The unit's chain and the tester, as the calibration loop sees them.
class Unit : public pacal::Target {
  public:
    Unit(const Link &l, const Options &opt, const Action &a, StepContext &ctx, PaCalDetail &d,
         double *waitedMs, double *heldMs)
        : l_(l), opt_(opt), a_(a), ctx_(ctx), d_(d), waitedMs_(waitedMs), heldMs_(heldMs) {}

    bool readCoeffs(pacal::Coeffs *c, std::string *err) override { return readChain(c, false, err); }

    // pa-init first, so that the data file the agent hands to the NVRAM
    // tool holds this write alone.  Then pa-read: the agent replies to
    // pa-write whatever its shell did, so only the chain read back equal
    // shows the write (or the restore of the originals) took.  All three
    // wait for their replies also after Ctrl-C: the write that restores
    // the originals must go out and be checked.
    bool writeCoeffs(const pacal::Coeffs &c, std::string *err) override {
        TestMsg init{};
        init.cmdType = CMD_INIT_PA_DATAFILE;
        if (!send(init, true, err)) return false;
        TestMsg w{};
        w.cmdType = CMD_WRITE_PA_PARAMS;
        w.chain = (uint8_t)d_.chain;
        w.value1 = (uint32_t)(int32_t)c.c1;
        w.value2 = (uint32_t)(int32_t)c.c2;
        w.value3 = (uint32_t)(int32_t)c.c3;
        if (!send(w, true, err)) return false;
        pacal::Coeffs back;
        if (!readChain(&back, true, err)) return false;
        if (back.c1 == c.c1 && back.c2 == c.c2 && back.c3 == c.c3) return true;
        // The unit answered and did not do it: its failure, not the tester's.
        if (status == kExitOk) status = kExitNoReply;
        char b[160];
        snprintf(b, sizeof b, "chain %d: wrote %d,%d,%d, read back %d,%d,%d", d_.chain, c.c1, c.c2, c.c3,
                 back.c1, back.c2, back.c3);
        *err = b;
        return false;
    }

    bool measure(int tenths, double *dbm, double *loss, std::string *err) override {
        TestMsg set{};
        set.cmdType = CMD_SET_TX;
        set.byteArg = (uint8_t)rate_;
        set.value1 = (uint32_t)bw_;
        set.value2 = (uint32_t)tenths;
        if (!send(set, false, err)) return false;
        double setDbm = tenths / 10.0;
        ctx_.txSet = true;
        ctx_.txChannel = ctx_.channel;
        ctx_.txRate = rate_;
        ctx_.txBwMhz = bw_;
        ctx_.txPowerDbm = setDbm;
        // The tester is held for this point's tester work alone: the
        // router-only work between points (pa-init, pa-write, the NVRAM
        // tool) leaves it to the other units.
        StepTester &t = *ctx_.tester;
        TesterHold hold(t, waitedMs_, heldMs_);
        if (!hold.held()) {
            *err = "pa-cal: stopped while waiting for the tester";
            return false;
        }
        std::string why;
        if (!t.setupAnalyser(ctx_.channel, bw_, setDbm, &why)) return tester(why, err);
        TestMsg start{};
        start.cmdType = CMD_START_TX_FRAMES;
        if (!send(start, false, err)) return false;
        TxReading m;
        bool whole = waitMs(a_.waitMs, l_.stop);
        bool measured = whole && t.measure(&m, &why);
        *loss = t.lossDb();
        // The packet engine stops whatever the tester said.
        TestMsg stop{};
        stop.cmdType = CMD_STOP_TX;
        std::string stopErr;
        bool stopped = send(stop, true, &stopErr) != nullptr;
        if (!whole) {
            *err = "pa-cal: stopped during the settle time";
            return false;
        }
        if (!measured) return tester(why, err);
        if (!stopped) {
            *err = stopErr;
            return false;
        }
        *dbm = m.powerDbm;
        return true;
    }

    bool interrupted() override { return l_.stop->raised(); }

    // The transmit settings pa-cal uses: the plan's last set-tx, else
    // rate 0 (1 Mbps) at 20 MHz.
    void useTx(int rate, int bw) { rate_ = rate, bw_ = bw; }

    int status = kExitOk;  // the first error's exit status

  private:
    bool readChain(pacal::Coeffs *c, bool evenIfInterrupted, std::string *err) {
        TestMsg req{};
        req.cmdType = CMD_READ_PA_PARAMS;
        req.chain = (uint8_t)d_.chain;
        const Exchanged *x = send(req, evenIfInterrupted, err);
        if (!x) return false;
        c->c1 = (int16_t)(x->reply.value1 & 0xffff);
        c->c2 = (int16_t)(x->reply.value2 & 0xffff);
        c->c3 = (int16_t)(x->reply.value3 & 0xffff);
        return true;
    }

    const Exchanged *send(const TestMsg &req, bool evenIfInterrupted, std::string *err) {
        d_.exchanges.emplace_back();
        Exchanged &x = d_.exchanges.back();
        memset(&x, 0, sizeof x);
        x.req = req;
        ExchangeInfo info;
        info.evenIfInterrupted = evenIfInterrupted;
        const char *word = commandWord(req.cmdType);
        int rc = exchange(l_, opt_, word ? word : "request", req, 0, &x.reply, x.from, &info);
        x.attempts = info.attempts;
        x.replied = rc == kExitOk;
        if (rc == kExitOk) return &x;
        if (status == kExitOk) status = rc;
        *err = info.error[0] ? info.error : "no reply";
        return nullptr;
    }

    bool tester(const std::string &why, std::string *err) {
        if (ctx_.tester->stopped()) {
            *err = "pa-cal: stopped during the tester's work";
            return false;
        }
        if (status == kExitOk) status = kExitTester;
        *err = "pa-cal: " + why;
        return false;
    }

    const Link &l_;
    const Options &opt_;
    const Action &a_;
    StepContext &ctx_;
    PaCalDetail &d_;
    double *waitedMs_, *heldMs_;  // the step's tester wait and hold, over its points
    int rate_ = 0, bw_ = 20;
};

PaCalValue value(const std::string &name, double v) {
    PaCalValue x;
    x.name = name;
    x.value = v;
    return x;
}

PaCalValue atMost(const std::string &name, double v, double high) {
    PaCalValue x = value(name, v);
    x.hasHigh = true, x.high = high;
    return x;
}

PaCalValue atLeast(const std::string &name, double v, double low) {
    PaCalValue x = value(name, v);
    x.hasLow = true, x.low = low;
    return x;
}

std::string powerName(double dbm) {
    char b[32];
    snprintf(b, sizeof b, "%g", dbm);
    return b;
}

// A check's value for the screen: Measured keeps its name as a pointer, so
// the name is the static one.
Measured measuredOf(const PaCalValue &v) {
    static const char *const names[] = {"determined", "bounds", "defined", "residual", "monotonic"};
    const char *name = "check";
    for (const char *n : names)
        if (v.name == n) name = n;
    return checkMeasured(name, v.value, Limit{v.hasLow, v.hasHigh, v.low, v.high});
}

// For the screen: the verify error nearest its limit (or furthest beyond
// it), each power having its own limit (tolerance less its guard band).
Measured closestVerify(const pacal::CalResult &c, const pacal::CalOptions &o) {
    auto limit = [&](size_t k) { return k < c.verifyLimitsDb.size() ? c.verifyLimitsDb[k] : o.toleranceDb; };
    size_t w = 0;
    for (size_t k = 1; k < c.verifyErrorsDb.size(); k++)
        if (limit(k) - std::fabs(c.verifyErrorsDb[k]) < limit(w) - std::fabs(c.verifyErrorsDb[w])) w = k;
    return checkMeasured("verify_error", std::fabs(c.verifyErrorsDb[w]), Limit{false, true, 0, limit(w)});
}

}  // namespace

std::vector<PaCalValue> paCalValues(const pacal::CalResult &r, const pacal::CalOptions &o) {
    std::vector<PaCalValue> out;
    const int16_t before[3] = {r.before.c1, r.before.c2, r.before.c3};
    const int16_t after[3] = {r.after.c1, r.after.c2, r.after.c3};
    for (int i = 0; i < 3; i++) out.push_back(value("pa" + std::to_string(i + 1) + "_before", before[i]));
    for (int i = 0; i < 3; i++) out.push_back(value("pa" + std::to_string(i + 1), after[i]));
    for (size_t k = 0; k < r.points.size(); k++) {
        const pacal::CalPoint &p = r.points[k];
        std::string n = "p" + std::to_string(k + 1) + "_";
        out.push_back(value(n + "set", p.setDbm));
        out.push_back(value(n + "code", p.code));
        out.push_back(value(n + "measured", p.measuredDbm));
        out.push_back(value(n + "loss", p.lossDb));
        out.push_back(value(n + "round", p.round));
        out.push_back(value(n + "verify", p.verify ? 1 : 0));
        // Left out of the fits, and why: only where it was.
        if (p.dropped == pacal::Dropped::Clamped) out.push_back(value(n + "clamped", 1));
        if (p.dropped == pacal::Dropped::Outlier) out.push_back(value(n + "outlier", 1));
    }
    if (r.safeStart) out.push_back(value("safe_start", 1));
    if (r.rounds > 0) {
        // The last fit's checks, in the order fit() makes them, up to the
        // one that failed.
        const std::string &why = r.reason;
        bool undetermined = why == "too few points" || why == "degenerate";
        out.push_back(atLeast("determined", undetermined ? 0 : 1, 1));
        if (!undetermined) {
            out.push_back(atLeast("bounds", why == "bounds" ? 0 : 1, 1));
            if (why != "bounds") {
                // A curve undefined at a measured code has no residual
                // to store (not a number): its check says so instead.
                if (std::isfinite(r.residualDb))
                    out.push_back(atMost("residual", r.residualDb, o.limits.maxResidualDb));
                else
                    out.push_back(atLeast("defined", 0, 1));
                if (why != "residual") out.push_back(atLeast("monotonic", why == "not monotonic" ? 0 : 1, 1));
            }
        }
    }
    out.push_back(atMost("rounds", r.rounds, o.maxRounds));
    out.push_back(value("measurements", r.measurements));
    // The last verify's judgement: the noise and the guard band it gives,
    // each verify error within the tolerance less its guard band, and the
    // error the fit on all points predicts over the range.
    if (std::isfinite(r.guardBandDb)) {
        out.push_back(value("noise", r.noiseDb));
        out.push_back(value("guard_band", r.guardBandDb));
    }
    for (size_t k = 0; k < r.verifyErrorsDb.size() && k < o.powers.size(); k++) {
        PaCalValue v = value("verify_error_" + powerName(o.powers[k]), r.verifyErrorsDb[k]);
        double lim = k < r.verifyLimitsDb.size() ? r.verifyLimitsDb[k] : o.toleranceDb;
        v.hasLow = v.hasHigh = true;
        v.low = -lim, v.high = lim;
        out.push_back(v);
    }
    if (std::isfinite(r.rangeErrorDb)) {
        PaCalValue v = value("range_error", r.rangeErrorDb);
        v.hasLow = v.hasHigh = true;
        v.low = -r.verifyLimitDb, v.high = r.verifyLimitDb;
        out.push_back(v);
        out.push_back(value("range_error_at", r.rangeErrorAtDbm));
    }
    return out;
}

void runPaCal(const Link &l, const Options &opt, const Action &a, StepContext *ctx, StepResult *r) {
    const char *word = a.cmd->word;
    if (!ctx->tester || ctx->channel < 0) {
        snprintf(r->error, sizeof r->error, "%s: %s", word,
                 !ctx->tester ? "no tester (run --fixture FILE)" : "no set-channel before it got its reply");
        r->status = kExitUsage;
        return;
    }
    pacal::CalOptions o;
    o.powers.assign(a.cal.powers, a.cal.powers + a.cal.powerCount);
    o.toleranceDb = a.cal.toleranceDb;
    o.maxRounds = a.cal.maxRounds;
    o.limits.lowDbm = a.cal.rangeLowDbm, o.limits.highDbm = a.cal.rangeHighDbm;

    ctx->paCal.reset(new PaCalDetail);
    PaCalDetail &d = *ctx->paCal;
    r->paCal = &d;
    d.chain = a.req.chain;
    ctx->testerUsed = true;
    r->tester = true;
    Unit u(l, opt, a, *ctx, d, &r->testerWaitMs, &r->testerHeldMs);
    u.useTx(ctx->txSet ? ctx->txRate : 0, ctx->txSet ? ctx->txBwMhz : 20);

    // The radio transmits on the chain being calibrated.
    TestMsg ant{};
    ant.cmdType = CMD_SET_ANTENNA;
    ant.byteArg = (uint8_t)d.chain;
    d.exchanges.emplace_back();
    Exchanged &x = d.exchanges.back();
    memset(&x, 0, sizeof x);
    x.req = ant;
    ExchangeInfo info;
    int rc = exchange(l, opt, "set-antenna", ant, 0, &x.reply, x.from, &info);
    x.attempts = info.attempts;
    x.replied = rc == kExitOk;
    if (rc != kExitOk) {
        snprintf(r->error, sizeof r->error, "%s", info.error[0] ? info.error : "set-antenna: no reply");
        r->status = rc;
        return;
    }
    d.cal = pacal::calibrate(u, o);
    r->lossDb = d.cal.points.empty() ? 0 : d.cal.points.back().lossDb;
    d.values = paCalValues(d.cal, o);

    // The screen's summary: the check that decided, the worst verify
    // error, the rounds.
    unsigned n = 0;
    const PaCalValue *check = nullptr;  // the failed check, else the residual
    for (const PaCalValue &v : d.values) {
        bool flag = v.name == "determined" || v.name == "bounds" || v.name == "defined" ||
                    v.name == "monotonic";
        if (flag && v.value < 1) check = &v;
        if (v.name == "residual" && (!check || v.value > v.high)) check = &v;
    }
    if (check) r->measured[n++] = measuredOf(*check);
    if (!d.cal.verifyErrorsDb.empty()) r->measured[n++] = closestVerify(d.cal, o);
    r->measured[n++] = checkMeasured("rounds", d.cal.rounds, Limit{false, true, 0, (double)o.maxRounds});
    r->measuredCount = n;

    switch (d.cal.status) {
    case pacal::CalStatus::Pass:
    case pacal::CalStatus::Fail:
        // FAIL shows in the measurements; a chain whose originals could
        // not be written back is an error besides.
        r->status = d.cal.restoreError.empty() ? kExitOk : u.status != kExitOk ? u.status : kExitNoReply;
        break;
    case pacal::CalStatus::Error:
        r->status = u.status != kExitOk ? u.status : kExitTester;
        break;
    case pacal::CalStatus::Interrupted:
        r->status = kExitInterrupted;
        break;
    }
    if (r->status != kExitOk) {
        std::string what = d.cal.why;
        if (d.cal.restored) what += "; the original coefficients were written back";
        if (!d.cal.restoreError.empty())
            what += "; writing the original coefficients back failed: " + d.cal.restoreError;
        snprintf(r->error, sizeof r->error, "%s: %s", word, what.c_str());
    }
    if (!opt.quiet && opt.verbose)
        say(l, "%s chain %d: %s (%s), %d measurements", word, d.chain, pacal::calStatusName(d.cal.status),
            d.cal.why.c_str(), d.cal.measurements);
}

}  // namespace station
