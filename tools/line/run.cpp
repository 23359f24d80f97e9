// Recorded plan runs: one unit (--dut) or several at once (--unit), each
// unit in a thread of its own with its own record in the results store.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "format/text.h"
#include "line/session.h"
#include "line/tester.h"
#include "line/summary.h"
#include "results/store.h"

namespace line {

namespace {

// One unit, as a plain run prints it, and its record.
int runOne(const station::Options &opt, const Setup &setup, const Plan &plan,
           results::Store &store, SharedTester *shared) {
    UnitRuns runs;
    runs.emplace_back(new UnitRun(setup, plan, 0, nullptr));
    UnitRun &u = *runs[0];
    int rc = cableUnits(plan, shared, {setup.units[0].iface}, "run",
                        [&](size_t, const instrument::FixtureUnit &f) {
                            u.tester.reset(new UnitTester(*shared, f));
                        });
    if (rc != station::kExitOk) return rc;
    u.run(opt);
    if (!u.opened) return u.status;
    u.keep(store, store.url().display);
    int status = u.status;
    writeJunit(setup, runs, &status);
    printUnitLine(opt, setup, plan, u, store.url().display);
    return status;
}

// Every unit in a thread of its own, on its own interface.
int runParallel(const station::Options &opt, const Setup &setup, const Plan &plan,
                results::Store &store, SharedTester *shared) {
    std::vector<std::string> ifaces;
    for (const Unit &u : setup.units) ifaces.push_back(u.iface);
    std::vector<std::unique_ptr<UnitTester>> testers(ifaces.size());
    int rc = cableUnits(plan, shared, ifaces, "run", [&](size_t i, const instrument::FixtureUnit &f) {
        testers[i].reset(new UnitTester(*shared, f));
    });
    if (rc != station::kExitOk) return rc;
    bool live = isatty(STDOUT_FILENO) && !opt.verbose;
    Board board(setup.units, plan.steps.size(), live);
    UnitRuns runs;
    for (size_t i = 0; i < setup.units.size(); ++i) {
        runs.emplace_back(new UnitRun(setup, plan, i, &board));
        runs.back()->tester = std::move(testers[i]);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] {
            station::Options o = opt;
            snprintf(o.iface, sizeof o.iface, "%s", setup.units[i].iface.c_str());
            o.quiet = true;
            UnitRun &u = *runs[i];
            u.run(o);
            u.keep(store, store.url().display);
            char text[160];
            snprintf(text, sizeof text, "done: %s, %zu of %zu steps, %s s",
                     station::verdictName(u.verdict()), u.stepsRun, plan.steps.size(),
                     format::fixed(u.seconds, 2).c_str());
            board.finished(i, text);
        });
    }
    for (std::thread &t : threads) t.join();
    int status = station::kExitOk;
    for (const auto &u : runs) status = station::worseStatus(status, u->status);
    writeJunit(setup, runs, &status);
    printUnitTable(setup, plan, runs, store.url().display);
    return status;
}

// A plan with the tester but without records (run PLAN --fixture FILE).
int testerRun(const station::Options &opt, const Plan &plan, const char *fixtureOption) {
    std::unique_ptr<SharedTester> shared;
    int rc = prepareTester(plan, fixtureOption, "run", &shared);
    if (rc != station::kExitOk) return rc;
    std::unique_ptr<UnitTester> tester;
    rc = cableUnits(plan, shared.get(), {opt.iface}, "run",
                    [&](size_t, const instrument::FixtureUnit &f) {
                        tester.reset(new UnitTester(*shared, f));
                    });
    if (rc != station::kExitOk) return rc;
    station::Link l;
    rc = station::openLink(opt, &l);
    if (rc != station::kExitOk) return rc;
    station::StepContext ctx;
    ctx.tester = tester.get();
    station::PlanOutcome o = station::runSteps(l, opt, plan.path.c_str(), plan.steps, &ctx);
    station::closeLink(&l);
    if (ctx.testerUsed && !opt.quiet && !opt.json)
        printf("tester: %s\n", tester->idn().empty() ? "(did not answer)" : tester->idn().c_str());
    return o.status;
}

}  // namespace

int recordedRun(const station::Options &opt, const station::Action &act) {
    // Without a unit to record, a run with the tester prints as a plain run.
    bool onlyFixture = true;
    for (unsigned i = 0; i < act.textCount; ++i)
        onlyFixture = onlyFixture && strcmp(act.texts[i].arg->option, "--fixture") == 0;
    if (onlyFixture) {
        Plan plan;
        std::string bytes;
        int rc = station::readPlan(act.path, &plan.path, &bytes, &plan.steps);
        if (rc != station::kExitOk) return rc;
        return testerRun(opt, plan, act.text("--fixture"));
    }
    Session s;
    int rc = openSession(opt, act, "run", false, nullptr, &s);
    if (rc != station::kExitOk) return rc;
    return s.setup.parallel ? runParallel(opt, s.setup, s.plan, *s.store, s.tester.get())
                            : runOne(opt, s.setup, s.plan, *s.store, s.tester.get());
}

}  // namespace line
