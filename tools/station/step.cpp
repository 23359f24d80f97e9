// rfprobe station: a plan step as one piece (see step.h).
#include "station/step.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "station/run.h"

namespace station {

// Written by the build from the files of station/steps/ (steps_list.cpp).
extern const StepDef *const kStepList[];
extern const size_t kStepListCount;

const StepDef *const *registeredSteps(size_t *count) {
    *count = kStepListCount;
    return kStepList;
}

namespace {

// The steps' measurements reach the one table people's figures are read
// from before main runs (the report and the page look names up there).
const bool gDeclared = [] {
    for (size_t i = 0; i < kStepListCount; ++i)
        declareStepMeasures(kStepList[i]->cmd.word, kStepList[i]->measures, kStepList[i]->measureCount);
    return true;
}();

}  // namespace

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
    snprintf(out.error, sizeof out.error, "%s: %s", def.cmd.word, why.c_str());
}

}  // namespace station
