// pa-cal: PA calibration of one chain on the line's tester.  The loop
// itself (measure, fit, write, verify, rounds, the originals back on
// anything but PASS) is pacal::calibrate (pacal/calibrate.h); this file
// drives it through the agent and the tester plug, and keeps what it did
// for the record: every request and reply, the coefficients before and
// after, every point, the fit's checks, the rounds and the verify errors.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pacal/calibrate.h"
#include "station/args/common_args.h"
#include "station/step/tester.h"

namespace station {

namespace {

// The screen's line: the check that decided, the worst verify error, the
// rounds.  The record holds every value of paCalValues (patterned names).
constexpr MeasureDecl kMeasures[] = {
    {"residual", "dB", 3, MeasureKind::Limited},
    {"verify_error", "dB", 2, MeasureKind::Limited},
    {"rounds", "", 0, MeasureKind::Bookkeeping},
    {"determined", "", 0, MeasureKind::Flag},
    {"bounds", "", 0, MeasureKind::Flag},
    {"defined", "", 0, MeasureKind::Flag},
    {"monotonic", "", 0, MeasureKind::Flag},
    {"verify_error_<dBm>", "dB", 2, MeasureKind::Limited},
    {"verify_fit_<dBm>", "dB", 2, MeasureKind::Limited},
    {"measurements", "", 0, MeasureKind::Bookkeeping},
    {"pa<k>_before", "", 0, MeasureKind::Bookkeeping},
    {"pa<k>", "", 0, MeasureKind::Bookkeeping},
    {"safe_start", "", 0, MeasureKind::Flag},
    {"noise", "dB", 3, MeasureKind::Bookkeeping},
    {"guard_band", "dB", 3, MeasureKind::Bookkeeping},
    {"range_error", "dB", 2, MeasureKind::Limited},
    {"range_error_at", "dBm", 1, MeasureKind::Bookkeeping},
};

// Every point the calibration measured, in the order it measured them:
// the set power the radio was asked for, the detector code it used, the
// power at the unit's port, the fixture's loss, the round whose fit the
// point went into first, 1 for a verify measurement, and why the point was
// left out of the fits (0 kept, 1 at a clamped detector code, 2 an outlier).
// Drawn as measured against set power, before (verify 0) and after
// (verify 1) calibration; the verify's limits are each power's
// verify_error_<dBm>.
constexpr SeriesColumnDecl kPointColumns[] = {
    {"set_power", "dBm", SeriesRole::X}, {"code", "", SeriesRole::Kept},
    {"measured", "dBm", SeriesRole::Y},  {"loss", "dB", SeriesRole::Kept},
    {"round", "", SeriesRole::Kept},     {"verify", "", SeriesRole::Group},
    {"dropped", "", SeriesRole::Kept},
};
constexpr SeriesDecl kPoints = seriesDecl("points", kPointColumns);

// The error the last fit on all points predicts, for the coefficients the
// chain holds, at every whole dBm of the range and its ends (range_error is
// the worst of them).  A power where that curve is undefined has no row.
constexpr SeriesColumnDecl kRangeColumns[] = {{"set_power", "dBm", SeriesRole::X},
                                              {"predicted_error", "dB", SeriesRole::Y, "range_error"}};
constexpr SeriesDecl kRange = seriesDecl("range", kRangeColumns);
constexpr const SeriesDecl *kSeries[] = {&kPoints, &kRange};
// The report's calibration: measured - set of the first round's points
// (the unit as it came) against the verify errors (as it left).
constexpr ErrorView kErrorView = {"points", "set_power", "measured", "round", "verify", "verify_error_<dBm>", "set",
                                  "chain"};

struct Args {
    SetPowers powers;
    Span range;
    Decibels tolerance;
    Integer<1, 10> maxRounds;
    Duration settle;
};

constexpr ArgDef kArgs[] = {
    kChain,
    typedArg(RFPROBE_ARG(Args, powers), "--powers", "LIST",
             "set powers in dBm, comma-separated: at least 3, each\n"
             "within 5..21 with at most one decimal (default both ends\n"
             "of the range and two between: 5,10.3,15.7,21)"),
    typedArg(RFPROBE_ARG(Args, range), "--range", "LO..HI",
             "the set powers the unit transmits at, dBm, within 5..21\n"
             "and at least 3 dB wide: the error must hold over all of\n"
             "it (default 5..21)"),
    typedArg(RFPROBE_ARG(Args, tolerance), "--tolerance", "DB",
             "the largest |measured - set| at verify that passes, dB,\n"
             "above 0 and up to 10 (default 0.5)"),
    typedArg(RFPROBE_ARG(Args, maxRounds), "--max-rounds", "N",
             "fits written before the calibration gives up, 1..10\n"
             "(default 2); (N + 1) x powers is also the most\n"
             "measurements it takes"),
    typedArg(RFPROBE_ARG(Args, settle), "--settle", "S",
             "wait between start-tx and each measurement, 0..86400 s\n(default 0)", false, "settle time"),
    kStopOnFail,
};

// The unit's chain and the tester, as the calibration loop sees them.
class Unit : public pacal::Target {
  public:
    Unit(StepRun &s, int chain) : s_(s), chain_(chain) {}

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
        w.chain = (uint8_t)chain_;
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
        snprintf(b, sizeof b, "chain %d: wrote %d,%d,%d, read back %d,%d,%d", chain_, c.c1, c.c2, c.c3,
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
        StepContext &u = s_.unit;
        u.txSet = true;
        u.txChannel = u.channel;
        u.txRate = rate_;
        u.txBwMhz = bw_;
        u.txPowerDbm = tenths / 10.0;
        // The tester is held for this point's tester work alone: the
        // router-only work between points (pa-init, pa-write, the NVRAM
        // tool) leaves it to the other units.
        TxReading m;
        int rc = measureTransmission(s_, pacal::radioSetPower(tenths), s_.args<Args>().settle.ms, &m);
        *loss = s_.out.lossDb;
        if (rc != kExitOk) {
            if (status == kExitOk) status = rc;
            *err = s_.out.error;
            s_.out.error[0] = 0;
            s_.out.status = kExitOk;
            return false;
        }
        *dbm = m.powerDbm;
        return true;
    }

    bool interrupted() override { return s_.link.stop->raised(); }

    // The transmit settings pa-cal uses: the plan's last set-tx, else
    // rate 0 (1 Mbps) at 20 MHz.
    void useTx(int rate, int bw) { rate_ = rate, bw_ = bw; }

    int status = kExitOk;  // the first error's exit status

  private:
    bool readChain(pacal::Coeffs *c, bool evenIfInterrupted, std::string *err) {
        TestMsg req{};
        req.cmdType = CMD_READ_PA_PARAMS;
        req.chain = (uint8_t)chain_;
        const Exchanged *x = send(req, evenIfInterrupted, err);
        if (!x) return false;
        c->c1 = (int16_t)(x->reply.value1 & 0xffff);
        c->c2 = (int16_t)(x->reply.value2 & 0xffff);
        c->c3 = (int16_t)(x->reply.value3 & 0xffff);
        return true;
    }

    // One request kept in the step's detail; the first error's status.
    const Exchanged *send(const TestMsg &req, bool evenIfInterrupted, std::string *err) {
        int rc = s_.send(req, evenIfInterrupted);
        if (rc == kExitOk) return &s_.unit.detail->exchanges.back();
        if (status == kExitOk) status = rc;
        *err = s_.out.error[0] ? s_.out.error : "no reply";
        s_.out.error[0] = 0;
        return nullptr;
    }

    StepRun &s_;
    int chain_;
    int rate_ = 0, bw_ = 20;
};

RecordedValue value(const std::string &name, double v) {
    RecordedValue x;
    x.name = name;
    x.value = v;
    return x;
}

RecordedValue atMost(const std::string &name, double v, double high) {
    RecordedValue x = value(name, v);
    x.limit.hasHigh = true, x.limit.high = high;
    return x;
}

RecordedValue atLeast(const std::string &name, double v, double low) {
    RecordedValue x = value(name, v);
    x.limit.hasLow = true, x.limit.low = low;
    return x;
}

// A limit the guard band tightened, to a thousandth of a dB: it reads as
// the figure it is, and the digits below are the noise estimate's own.
// The calibration judged with this same figure (pacal::recordedLimit).
double guarded(double limitDb) { return pacal::recordedLimit(limitDb); }

std::string powerName(double dbm) {
    char b[32];
    snprintf(b, sizeof b, "%g", dbm);
    return b;
}

}  // namespace

// The values of a calibration as the record names them (docs/station.md):
// pa1_before..pa3_before, pa1..pa3 (what the chain holds after the step),
// safe_start (1, where the chain's coefficients could not be used), the
// fit's checks (determined, bounds: 1 or 0, at least 1; residual in dB, at
// most the limit; monotonic), rounds (at most --max-rounds), measurements,
// noise and guard_band (dB), verify_error_<power> (dB, within
// +-(tolerance - guard band)) for every power of the last verify, and
// range_error (dB, the worst the fit on all points predicts over the
// range, within the same limit) with range_error_at (dBm).  The points
// themselves are the series "points" (paCalPoints).
std::vector<RecordedValue> paCalValues(const pacal::CalResult &r, const pacal::CalOptions &o) {
    std::vector<RecordedValue> out;
    const int16_t before[3] = {r.before.c1, r.before.c2, r.before.c3};
    const int16_t after[3] = {r.after.c1, r.after.c2, r.after.c3};
    for (int i = 0; i < 3; i++) out.push_back(value("pa" + std::to_string(i + 1) + "_before", before[i]));
    for (int i = 0; i < 3; i++) out.push_back(value("pa" + std::to_string(i + 1), after[i]));
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
        RecordedValue v = value("verify_error_" + powerName(o.powers[k]), r.verifyErrorsDb[k]);
        double lim = guarded(k < r.verifyLimitsDb.size() ? r.verifyLimitsDb[k] : o.toleranceDb);
        v.limit = Limit{true, true, -lim, lim};
        out.push_back(v);
    }
    // A figure the fit on all points judged: its estimate and its limit.
    for (const pacal::CalResult::FitJudged &f : r.fitJudged) {
        RecordedValue v = value("verify_fit_" + powerName(f.powerDbm), f.predictedDb);
        v.limit = Limit{true, true, -guarded(f.limitDb), guarded(f.limitDb)};
        out.push_back(v);
    }
    if (std::isfinite(r.rangeErrorDb)) {
        RecordedValue v = value("range_error", r.rangeErrorDb);
        v.limit = Limit{true, true, -guarded(r.verifyLimitDb), guarded(r.verifyLimitDb)};
        out.push_back(v);
        out.push_back(value("range_error_at", r.rangeErrorAtDbm));
    }
    return out;
}

// Every point of the calibration as a row of the series "points".
void paCalPoints(const pacal::CalResult &r, StepDetail *d) {
    for (const pacal::CalPoint &p : r.points) {
        double dropped = p.dropped == pacal::Dropped::Clamped ? 1 : p.dropped == pacal::Dropped::Outlier ? 2 : 0;
        d->addRow(kPoints, {p.setDbm, (double)p.code, p.measuredDbm, p.lossDb, (double)p.round,
                            p.verify ? 1.0 : 0.0, dropped});
    }
    for (const auto &e : r.rangeErrorsDb)
        if (std::isfinite(e.second)) d->addRow(kRange, {e.first, e.second});
}

namespace {

pacal::CalOptions calOptions(const Action &act) {
    const Args &a = act.args<Args>();
    pacal::CalOptions o;
    o.powers.assign(a.powers.dbm, a.powers.dbm + a.powers.count);
    o.toleranceDb = a.tolerance.db;
    o.maxRounds = (int)a.maxRounds.n;
    o.limits.lowDbm = a.range.low, o.limits.highDbm = a.range.high;
    return o;
}

// Defaults first, then the powers, tolerance and rounds as a whole: bad
// ones are refused before anything is sent.
bool check(Action *a, char *err, size_t errLen) {
    Args &c = a->args<Args>();
    if (!c.powers.given) {
        // Without --powers: those that hold the error over the range.
        std::vector<double> d = pacal::defaultPowers(c.range.low, c.range.high);
        c.powers.count = (uint8_t)std::min(d.size(), (size_t)SetPowers::kMax);
        for (unsigned i = 0; i < c.powers.count; ++i) c.powers.dbm[i] = d[i];
    }
    std::string why;
    if (pacal::checkOptions(calOptions(*a), &why)) return true;
    snprintf(err, errLen, "%s", why.c_str());
    return false;
}

void defaults(Action *a) {
    const pacal::CalOptions d;
    Args &c = a->args<Args>();
    c.powers.count = (uint8_t)std::min(d.powers.size(), (size_t)SetPowers::kMax);
    for (unsigned i = 0; i < c.powers.count; ++i) c.powers.dbm[i] = d.powers[i];
    c.tolerance.db = d.toleranceDb;
    c.maxRounds.n = d.maxRounds;
    c.powers.given = false;
    c.range.low = d.limits.lowDbm, c.range.high = d.limits.highDbm;
}

// For the screen: the verify error nearest its limit (or furthest beyond
// it), each power having its own limit (tolerance less its guard band).
Measured closestVerify(const pacal::CalResult &c, const pacal::CalOptions &o) {
    auto limit = [&](size_t k) { return guarded(k < c.verifyLimitsDb.size() ? c.verifyLimitsDb[k] : o.toleranceDb); };
    size_t w = 0;
    for (size_t k = 1; k < c.verifyErrorsDb.size(); k++)
        if (limit(k) - std::fabs(c.verifyErrorsDb[k]) < limit(w) - std::fabs(c.verifyErrorsDb[w])) w = k;
    return checkMeasured("verify_error", std::fabs(c.verifyErrorsDb[w]), Limit{false, true, 0, limit(w)});
}

// The screen's summary: the check that decided (the failed one, else the
// residual), the worst verify error, the rounds.
void summarise(StepRun &s, const pacal::CalResult &cal, const pacal::CalOptions &o) {
    const RecordedValue *check = nullptr;
    for (const RecordedValue &v : s.unit.detail->values) {
        bool flag = v.name == "determined" || v.name == "bounds" || v.name == "defined" ||
                    v.name == "monotonic";
        if (flag && v.value < 1) check = &v;
        if (v.name == "residual" && (!check || v.value > v.limit.high)) check = &v;
    }
    StepResult &r = s.out;
    for (unsigned k = 0; check && k < s.def.measureCount; ++k)
        if (check->name == s.def.measures[k].name)
            r.measured[r.measuredCount++] = checkMeasured(s.def.measures[k].name, check->value, check->limit);
    if (!cal.verifyErrorsDb.empty()) r.measured[r.measuredCount++] = closestVerify(cal, o);
    r.measured[r.measuredCount++] = checkMeasured("rounds", cal.rounds, Limit{false, true, 0, (double)o.maxRounds});
}

// The step's status and error from how the calibration ended.
void conclude(StepRun &s, const pacal::CalResult &cal, int unitStatus) {
    int status = kExitOk;
    switch (cal.status) {
    case pacal::CalStatus::Pass:
    case pacal::CalStatus::Fail:
        // FAIL shows in the measurements; a chain whose originals could
        // not be written back is an error besides.
        status = cal.restoreError.empty() ? kExitOk : unitStatus != kExitOk ? unitStatus : kExitNoReply;
        break;
    case pacal::CalStatus::Error:
        status = unitStatus != kExitOk ? unitStatus : kExitTester;
        break;
    case pacal::CalStatus::Interrupted:
        status = kExitInterrupted;
        break;
    }
    s.out.status = status;
    if (status == kExitOk) return;
    std::string what = cal.why;
    if (cal.restored) what += "; the original coefficients were written back";
    if (!cal.restoreError.empty()) what += "; writing the original coefficients back failed: " + cal.restoreError;
    s.fail(status, what);
}

void run(StepRun &s) {
    if (!testerReady(s, kNeedsChannel)) return;
    const Action &a = s.act;
    pacal::CalOptions o = calOptions(a);
    StepDetail &d = s.detail();
    int chain = a.req.chain;
    Unit u(s, chain);
    const StepContext &ctx = s.unit;
    u.useTx(ctx.txSet ? ctx.txRate : 0, ctx.txSet ? ctx.txBwMhz : 20);
    // The radio transmits on the chain being calibrated.
    TestMsg ant{};
    ant.cmdType = CMD_SET_ANTENNA;
    ant.byteArg = (uint8_t)chain;
    int rc = s.send(ant);
    if (rc != kExitOk) {
        s.out.status = rc;
        return;
    }
    pacal::CalResult cal = pacal::calibrate(u, o);
    s.out.lossDb = cal.points.empty() ? 0 : cal.points.back().lossDb;
    for (const RecordedValue &v : paCalValues(cal, o)) d.add(v.name, v.value, v.limit);
    paCalPoints(cal, &d);
    summarise(s, cal, o);
    conclude(s, cal, u.status);
    if (!s.opt.quiet && s.opt.verbose)
        say(s.link, "%s chain %d: %s (%s), %d measurements", a.cmd->word, chain,
            pacal::calStatusName(cal.status), cal.why.c_str(), cal.measurements);
}

// The radio transmits on the chain, set up for the last point (its power
// the calibration's).
void effect(const Action &a, RadioState &r) {
    r.antenna = a.req.chain;
    if (r.channel < 0) return;
    if (!r.txSet) r.txRate = 0, r.txBwMhz = 20;
    r.txSet = true;
    r.txChannel = r.channel;
    r.transmitting = false;
}

}  // namespace

RFPROBE_STEP(pa_cal) = {
    {nullptr, ActionKind::Step, -1, nullptr, kArgs, kPlanStep | kOwnLimits, ReplyView::Ok,
     "calibrate a chain's PA on the tester", "calibrate a chain's PA coefficients",
     "    A plan step, run with the fixture's tester (run --fixture), after\n"
     "    set-channel; it transmits with the rate and bandwidth of the plan's last\n"
     "    set-tx (else rate 0, 20 MHz). It sends set-antenna CHAIN and pa-read\n"
     "    CHAIN, then for each power set-tx, start-tx, the tester's measurement and\n"
     "    stop-tx (the first round aims each set power at the output wanted),\n"
     "    fits the three coefficients to the points by least squares, checks the\n"
     "    fit (residual, 16 bits, a curve rising over the --range), writes them\n"
     "    (pa-init, pa-write, then pa-read: a chain that does not read back\n"
     "    what was written is ERROR, exit status 4) and verifies at the powers:\n"
     "    every |measured - set| within --tolerance less a guard band (2.326\n"
     "    sigma of the tester's noise, estimated from the step's own points),\n"
     "    and the error the fit on all points predicts over the range within\n"
     "    the same, is PASS; a figure beyond it that the fit calls noise is\n"
     "    measured again (the mean counts), otherwise another round fits all\n"
     "    points so far, up to --max-rounds; in the last verify, a figure\n"
     "    beyond it with no measurement left is judged by the fit on all\n"
     "    points (verify_fit_P). A point far from the fit is\n"
     "    measured again once; a point at detector code 0 or 4095 is left\n"
     "    out; a chain whose coefficients cover no power of the range starts\n"
     "    from the nominal curve. A broken check or no convergence is FAIL,\n"
     "    named by the measurement that failed (bounds, residual, monotonic,\n"
     "    verify_error). On FAIL, ERROR or Ctrl-C the chain's original\n"
     "    coefficients are written back. It never sends pa-save: save in a step\n"
     "    of its own once both chains passed (but every pa-write of the agent\n"
     "    hands the data file to the NVRAM tool). The record keeps the\n"
     "    coefficients before and after, the verify errors and every point as\n"
     "    the step's series \"points\" (set_power, code, measured, loss, round,\n"
     "    verify, dropped).\n",
     "    pa-cal 0 --range 5..21 --tolerance 0.5 --stop-on-fail\n",
     argsBlock<Args>(), check, defaults},
    kMeasures,
    sizeof kMeasures / sizeof kMeasures[0],
    kNeedsChannel | kNeedsTester,
    run,
    effect,
    kSeries,
    seriesCount(kSeries),
    &kErrorView,
};

}  // namespace station
