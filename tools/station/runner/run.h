// rfprobe station: running sub-commands and plans.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "station/args/args.h"
#include "station/link/transport.h"
#include "station/runner/plan.h"
#include "station/step/step.h"

namespace station {

// Runs one step on an open link, printing each reply unless opt.quiet,
// and, when it got its replies, applies its effect on the radio to ctx.
// ctx: the unit's context across the steps of a plan (null: none, and
// tester steps ERROR).
void runStep(const Link &l, const Options &opt, const Action &a, StepResult *r,
             StepContext *ctx = nullptr);

// runStep, then the verdict line of a step with limits; returns its exit
// status (kExitFail for a missed limit).
int runAction(const Link &l, const Options &opt, const Action &a);

struct PlanOutcome {
    int status;        // the exit status: 130, 1 (FAIL), 3 or 4 (the step's error), 0
    Verdict verdict;   // planVerdict: FAIL, else ERROR (a step erred, or none ran), else PASS
    size_t stepsRun;
};

// A plan run one step at a time on an open link, so that the layer above
// keeps its own account between steps (records, the board, the operator
// page) while the station never calls up into it.  A step that errs stops
// the plan; a step that fails stops it only with --stop-on-fail.  Unless
// opt.quiet, prints the replies, a verdict line per step with limits and,
// when any step has limits, the plan's verdict (finish()).
//
//   PlanRun pr(l, opt, name, steps, &ctx);
//   while (const PlanStep *s = pr.next()) { ...; const StepResult &r = pr.run(); ... }
//   PlanOutcome o = pr.finish();
class PlanRun {
  public:
    PlanRun(const Link &l, const Options &opt, const char *name, const std::vector<PlanStep> &steps,
            StepContext *ctx = nullptr);
    // The step that runs next, or null when the plan has ended.
    const PlanStep *next() const;
    // Its index in the plan.
    size_t index() const { return i_; }
    // Runs the next step; its result stays valid until the next run().
    const StepResult &run();
    // The plan's verdict line and outcome.
    PlanOutcome finish();

  private:
    const Link &l_;
    const Options &opt_;
    const char *name_;
    const std::vector<PlanStep> &steps_;
    StepContext *ctx_;
    bool limits_ = false, ended_ = false;
    size_t i_ = 0, ran_ = 0;
    int errorStatus_ = 0;
    std::vector<const PlanStep *> failed_;
    StepResult r_;
};

// The whole plan through PlanRun.
PlanOutcome runSteps(const Link &l, const Options &opt, const char *name,
                     const std::vector<PlanStep> &steps, StepContext *ctx = nullptr);

// Does the plan have a step that needs the tester?  *first: its line.
bool planUsesTester(const std::vector<PlanStep> &steps, const PlanStep **first = nullptr);

// Reads a plan file ('-': standard input) whole and checks it.  *name is
// what messages call it (kStdinPlanName for standard input), *bytes the file's
// bytes.  Returns kExitOk, or kExitUsage after saying why.
int readPlan(const char *path, std::string *name, std::string *bytes,
             std::vector<PlanStep> *steps);

// The handlers of the command table (Command::run); each returns the tool's
// exit status.
int runOnLink(const Options &opt, const Action &a);      // a step on a link of its own
int sleepCommand(const Options &opt, const Action &a);   // a step that needs no link (kNoAgent)
int listenCommand(const Options &opt, const Action &a);  // replies until interrupted
int runPlanCommand(const Options &opt, const Action &a); // a plan without records
int testerStepAlone(const Options &opt, const Action &a); // tester steps: plans only

// Runs a parsed command through its row of the table: its handler, or the
// records layer's for a command that needs the store or has record options
// (refused where the records layer is not built).
int dispatch(const Options &opt, const Action &a);

}  // namespace station
