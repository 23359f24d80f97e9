// rfprobe station: running sub-commands and plans.
#include "station/runner/run.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "format/json.h"
#include "station/link/output.h"

namespace station {

namespace {

// A line put together piece by piece; cut at its size.
struct LineBuf {
    char text[1024] = "";
    size_t n = 0;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (n >= sizeof text) return;
        va_list ap;
        va_start(ap, fmt);
        int k = vsnprintf(text + n, sizeof text - n, fmt, ap);
        va_end(ap);
        if (k > 0) n += (size_t)k;
    }
};

// A limit's end, or null.
void jsonEnd(format::Json *j, bool has, double v) {
    if (has)
        j->num(v);
    else
        j->null();
}

// "line 24 rx: FAIL: count 12 below 950", or its JSON object.
void printVerdict(const Options &opt, int planLine, const char *word, const StepResult &r) {
    if (opt.json) {
        format::Json j;
        j.open('{');
        j.key("line");
        if (planLine > 0)
            j.integer(planLine);
        else
            j.null();
        j.key("step"), j.str(word);
        j.key("verdict"), j.str(verdictName(r.verdict));
        j.key("measurements");
        j.open('[');
        for (unsigned k = 0; k < r.measuredCount; ++k) {
            const Measured &m = r.measured[k];
            j.open('{');
            j.key("name"), j.str(m.name);
            j.key("value"), j.num(m.value);
            j.key("low"), jsonEnd(&j, m.limit.hasLow, m.limit.low);
            j.key("high"), jsonEnd(&j, m.limit.hasHigh, m.limit.high);
            j.key("verdict"), j.str(verdictName(m.verdict));
            j.close('}');
        }
        j.close(']');
        j.close('}');
        printf("%s\n", j.done().c_str());
    } else {
        LineBuf b;
        if (planLine > 0) b.add("line %d ", planLine);
        b.add("%s: %s", word, verdictName(r.verdict));
        for (unsigned k = 0; k < r.measuredCount; ++k) {
            char d[160];
            describeMeasured(r.measured[k], d, sizeof d);
            b.add("%s%s", k ? "; " : ": ", d);
        }
        if (r.verdict == Verdict::Error) b.add(" (%s)", r.error);
        printf("%s\n", b.text);
    }
    fflush(stdout);
}

void printPlanVerdict(const Options &opt, const char *name, Verdict v,
                      const std::vector<const PlanStep *> &failed) {
    if (opt.json) {
        format::Json j;
        j.open('{');
        j.key("plan"), j.str(name);
        j.key("verdict"), j.str(verdictName(v));
        j.close('}');
        printf("%s\n", j.done().c_str());
    } else {
        printf("plan %s: %s", name, verdictName(v));
        for (size_t i = 0; i < failed.size(); ++i)
            printf("%s line %d %s", i ? "," : " (failed:", failed[i]->planLine,
                   failed[i]->action.cmd->word);
        printf("%s\n", failed.empty() ? "" : ")");
    }
    fflush(stdout);
}

}  // namespace

void runStep(const Link &l, const Options &opt, const Action &a, StepResult *r,
             StepContext *ctx) {
    *r = StepResult{};
    const Command &c = *a.cmd;
    if (!c.step) {
        r->status = kExitUsage;
        snprintf(r->error, sizeof r->error, "%s is not a step", c.word);
    } else {
        StepContext none;
        StepContext &x = ctx ? *ctx : none;
        x.detail.reset();
        StepRun s{*c.step, l, opt, a, x, *r};
        c.step->run(s);
        // The radio's settings as the plan makes them, for the steps after.
        if (ctx && r->status == kExitOk && c.step->effect) c.step->effect(a, *ctx);
    }
    int rc = r->status;
    // The step's verdict, here alone: the record takes it as it is.
    bool missed = false;
    for (unsigned k = 0; k < r->measuredCount; ++k)
        missed = missed || r->measured[k].verdict == Verdict::Fail;
    if (r->detail)
        for (const RecordedValue &v : r->detail->values) missed = missed || v.verdict == Verdict::Fail;
    r->verdict = stepVerdict(rc != kExitOk, missed);
    if (rc != kExitOk) {
        if (!r->error[0])
            snprintf(r->error, sizeof r->error, "%s: failed (exit status %d)", c.word, rc);
    }
}

bool planUsesTester(const std::vector<PlanStep> &steps, const PlanStep **first) {
    for (const PlanStep &s : steps)
        if (s.action.cmd->usesTester()) {
            if (first) *first = &s;
            return true;
        }
    return false;
}

int runAction(const Link &l, const Options &opt, const Action &a) {
    StepResult r;
    runStep(l, opt, a, &r);
    if (a.limits.any() && !opt.quiet) printVerdict(opt, 0, a.cmd->word, r);
    if (r.status != kExitOk) return r.status;
    return a.limits.any() && r.verdict == Verdict::Fail ? kExitFail : kExitOk;
}

namespace {

// A tester step always has its verdict line: it measures.
bool shows(const PlanStep &s) { return s.action.limits.any() || s.action.cmd->usesTester(); }

}  // namespace

PlanRun::PlanRun(const Link &l, const Options &opt, const char *name, const std::vector<PlanStep> &steps,
                 StepContext *ctx)
    : l_(l), opt_(opt), name_(name), steps_(steps), ctx_(ctx) {
    for (const PlanStep &s : steps) limits_ = limits_ || shows(s);
}

const PlanStep *PlanRun::next() const { return ended_ || i_ >= steps_.size() ? nullptr : &steps_[i_]; }

const StepResult &PlanRun::run() {
    const PlanStep &s = steps_[i_++];
    const char *word = s.action.cmd->word;
    if (opt_.verbose) say(l_, "%s:%d: %s", name_, s.planLine, word);
    runStep(l_, opt_, s.action, &r_, ctx_);
    ++ran_;
    if (shows(s) && !opt_.quiet) printVerdict(opt_, s.planLine, word, r_);
    if (r_.status != kExitOk) {
        errorStatus_ = r_.status;
        say(l_, "plan %s stopped at line %d (%s), exit status %d", name_, s.planLine, word, r_.status);
        ended_ = true;
    } else if (r_.verdict == Verdict::Fail) {
        failed_.push_back(&s);
        if (s.action.limits.stopOnFail) {
            say(l_, "plan %s stopped at line %d (%s): a limit was missed", name_, s.planLine, word);
            ended_ = true;
        }
    }
    return r_;
}

PlanOutcome PlanRun::finish() {
    PlanOutcome out{kExitOk, Verdict::Pass, ran_};
    out.verdict = planVerdict(ran_, failed_.size(), errorStatus_ != kExitOk ? 1 : 0);
    out.status = errorStatus_ == kExitInterrupted ? kExitInterrupted
                 : !failed_.empty()               ? kExitFail
                                                  : errorStatus_;
    if (limits_ && !opt_.quiet) printPlanVerdict(opt_, name_, out.verdict, failed_);
    return out;
}

PlanOutcome runSteps(const Link &l, const Options &opt, const char *name,
                     const std::vector<PlanStep> &steps, StepContext *ctx) {
    PlanRun pr(l, opt, name, steps, ctx);
    while (pr.next()) pr.run();
    return pr.finish();
}

int readPlan(const char *path, std::string *name, std::string *bytes,
             std::vector<PlanStep> *steps) {
    bool isStdin = strcmp(path, "-") == 0;
    FILE *in = isStdin ? stdin : fopen(path, "r");
    if (!in) {
        fprintf(stderr, "rfprobe: run: cannot open %s: %s\n", path, strerror(errno));
        return kExitUsage;
    }
    *name = isStdin ? kStdinPlanName : path;
    bytes->clear();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) bytes->append(buf, n);
    bool readError = ferror(in);
    if (!isStdin) fclose(in);
    char err[kErrLen];
    bool ok = false;
    if (readError) {
        snprintf(err, sizeof err, "%s: read error", name->c_str());
    } else {
        // The bytes as read are what is hashed and what is checked (an empty
        // file reads as one empty line: fmemopen refuses no bytes at all).
        static char emptyLine[] = "\n";
        FILE *mem = bytes->empty() ? fmemopen(emptyLine, 1, "r")
                                   : fmemopen(&(*bytes)[0], bytes->size(), "r");
        if (!mem) {
            snprintf(err, sizeof err, "%s: %s", name->c_str(), strerror(errno));
        } else {
            ok = loadPlan(mem, name->c_str(), steps, err, sizeof err);
            fclose(mem);
        }
    }
    if (!ok) {
        fprintf(stderr, "rfprobe: %s (nothing was sent)\n", err);
        return kExitUsage;
    }
    return kExitOk;
}

int runOnLink(const Options &opt, const Action &a) {
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    rc = runAction(l, opt, a);
    closeLink(&l);
    return rc;
}

int sleepCommand(const Options &opt, const Action &a) { return runAction(Link{}, opt, a); }

int testerStepAlone(const Options &, const Action &a) {
    fprintf(stderr, "rfprobe: %s runs only as a step of a plan, after set-channel and set-tx: "
                    "rfprobe run PLAN --fixture FILE\n", a.cmd->word);
    return kExitUsage;
}

int listenCommand(const Options &opt, const Action &) {
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    TestMsg reply;
    char from[kFromLen];
    int status = kExitOk;
    while (nextReply(l, opt, &reply, from, &status)) printReply(opt, reply, from, true, -1);
    closeLink(&l);
    return status;
}

int runPlanCommand(const Options &opt, const Action &a) {
    std::string name, bytes;
    std::vector<PlanStep> steps;
    int rc = readPlan(a.path, &name, &bytes, &steps);
    if (rc != kExitOk) return rc;
    const PlanStep *first;
    if (planUsesTester(steps, &first)) {
        // The tester is the PC build's (the records layer's handler of
        // run): it reads the fixture from $RFPROBE_FIXTURE or refuses.
        if (Handler h = recordHandler(*a.cmd)) return h(opt, a);
        fprintf(stderr, "rfprobe: run: %s:%d: %s needs the tester, which this build of rfprobe "
                        "does not have (nothing was sent)\n",
                name.c_str(), first->planLine, first->action.cmd->word);
        return kExitUsage;
    }
    Link l;
    rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    PlanOutcome o = runSteps(l, opt, name.c_str(), steps);
    closeLink(&l);
    return o.status;
}

int dispatch(const Options &opt, const Action &a) {
    const Command &c = *a.cmd;
    if ((c.flags & kNeedsStore) || a.textCount > 0) {
        if (Handler h = recordHandler(c)) return h(opt, a);
        if (c.flags & kNeedsStore)
            fprintf(stderr, "rfprobe: %s: this rfprobe is built without the results store\n",
                    c.word);
        else
            fprintf(stderr, "rfprobe: %s: %s needs the results store, which this build of rfprobe "
                            "does not have\n", c.word, a.texts[0].arg->option);
        return kExitUsage;
    }
    return c.run(opt, a);
}

}  // namespace station
