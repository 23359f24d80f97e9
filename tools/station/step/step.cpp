// rfprobe station: a plan step as one piece (see step.h).
#include "station/step/step.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "station/link/output.h"

namespace station {

// The wire commands' steps (station/steps/wire/wire.cpp), and the files of
// station/steps/ as the build lists them (steps_list.cpp).
extern const StepDef *const kWireSteps;
extern const size_t kWireStepCount;
extern const RegisteredStep kStepList[];
extern const size_t kStepListCount;

namespace {

const std::vector<RegisteredStep> &allSteps() {
    static const std::vector<RegisteredStep> all = [] {
        std::vector<RegisteredStep> v;
        for (size_t i = 0; i < kWireStepCount; ++i) v.push_back({&kWireSteps[i], kWireSteps[i].cmd.word});
        v.insert(v.end(), kStepList, kStepList + kStepListCount);
        return v;
    }();
    return all;
}

// The steps' measurements and series reach the tables people's figures
// and charts are read from before main runs (the report and the page look
// names up there).
const bool gDeclared = [] {
    for (const RegisteredStep &s : allSteps()) {
        if (s.def->measureCount) declareStepMeasures(s.word, s.def->measures, s.def->measureCount);
        declareStepSeries(s.word, s.def->series, s.def->seriesCount);
        declareErrorView(s.word, s.def->errorView);
    }
    return true;
}();

}  // namespace

const RegisteredStep *registeredSteps(size_t *count) {
    *count = allSteps().size();
    return allSteps().data();
}

int sendStepRequest(const Link &l, const Options &opt, const TestMsg &req, StepResult *r,
                    bool evenIfInterrupted, unsigned retries, bool generic, const char *name) {
    if (r->exchangeCount >= sizeof r->exchanges / sizeof r->exchanges[0]) {
        snprintf(r->error, sizeof r->error, "a step sends at most two requests");
        return kExitUsage;
    }
    const char *word = name ? name : commandWord(req.cmdType);
    Exchanged &x = r->exchanges[r->exchangeCount++];
    x.req = req;
    ExchangeInfo info;
    info.evenIfInterrupted = evenIfInterrupted;
    int rc = exchange(l, opt, word ? word : "raw", req, retries, &x.reply, x.from, &info);
    x.attempts = info.attempts;
    x.replied = rc == kExitOk;
    if (rc != kExitOk) {
        snprintf(r->error, sizeof r->error, "%s", info.error);
        return rc;
    }
    if (opt.quiet) return kExitOk;
    const Command *asked = commandForCode(req.cmdType);
    int chain = asked && asked->view == ReplyView::Coefficients ? req.chain : -1;
    printReply(opt, x.reply, x.from, generic, chain);
    return kExitOk;
}

const Measured &StepDetail::add(const std::string &name, double value, const Limit &limit) {
    values.push_back(checkMeasured(name, value, limit));
    return values.back();
}

void StepDetail::addRow(const SeriesDecl &decl, std::vector<double> row) {
    if (row.size() != decl.columnCount)
        throw std::logic_error(std::string("a row of series ") + decl.name + " has the wrong width");
    for (RecordedSeries &s : series)
        if (s.decl == &decl) return s.rows.push_back(std::move(row));
    series.push_back({&decl, {std::move(row)}});
}

void StepRun::measured(unsigned k, double value) {
    const StepLimits &lim = act.limits;
    const Limit &l = k < (unsigned)kMaxMeasured && lim.eachSet[k] ? lim.each[k] : lim.common;
    if (out.measuredCount < (unsigned)kMaxMeasured && k < def.measureCount)
        out.measured[out.measuredCount++] = checkMeasured(def.measures[k].name, value, l);
}

StepDetail &StepRun::detail() {
    if (!unit.detail) unit.detail.reset(new StepDetail);
    out.detail = unit.detail.get();
    return *unit.detail;
}

int StepRun::send(const TestMsg &req, bool evenIfInterrupted) {
    if (!out.detail) return sendStepRequest(link, opt, req, &out, evenIfInterrupted);
    StepDetail &d = *unit.detail;
    d.exchanges.emplace_back();
    Exchanged &x = d.exchanges.back();
    memset(&x, 0, sizeof x);
    x.req = req;
    ExchangeInfo info;
    info.evenIfInterrupted = evenIfInterrupted;
    const char *word = commandWord(req.cmdType);
    int rc = exchange(link, opt, word ? word : "request", req, 0, &x.reply, x.from, &info);
    x.attempts = info.attempts;
    x.replied = rc == kExitOk;
    if (rc != kExitOk && !out.error[0])
        snprintf(out.error, sizeof out.error, "%s", info.error[0] ? info.error : "no reply");
    return rc;
}

void StepRun::fail(int status, const std::string &why) {
    out.status = status;
    snprintf(out.error, sizeof out.error, "%s: %s", act.cmd->word, why.c_str());
}

}  // namespace station
