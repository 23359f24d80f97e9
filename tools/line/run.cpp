// Recorded plan runs: one unit (--dut) or several at once (--unit), each
// unit in a thread of its own with its own record in the results store.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "bus/pump.h"
#include "bus/route.h"
#include "format/text.h"
#include "line/session.h"
#include "line/golden.h"
#include "line/tester.h"
#include "line/summary.h"
#include "results/store.h"

namespace line {

std::string routeRefusal(const Setup &setup, const Unit &u, std::map<std::string, std::string> *meta) {
    if (!setup.bus || setup.bus->mode == bus::RouteMode::Off) return "";
    bus::RouteCheck r = bus::checkRoute(*setup.bus, u.serial);
    if (setup.bus->mode == bus::RouteMode::Advisory) {
        (*meta)[kRouteCheckKey] = format::printableUtf8(r.metadata(), results::kMaxText);
        return "";
    }
    if (r.answered && r.passed) return "";
    return r.answered ? "the MES refused it: " + r.text : "refused (enforced): " + r.text;
}

namespace {

// Under --require-golden: why this unit's port may not run the plan ("" when
// it may).  A golden check itself always runs: it is what unlocks a port.
std::string lockOf(const Setup &setup, const Plan &plan, results::Store &store, const UnitTester *t,
                   const Unit &u) {
    if (setup.requireGoldenHours <= 0 || plan.golden) return "";
    if (!t)
        return "unit " + u.iface + " has no port in a fixture: --require-golden checks the golden check "
               "of its tester port; give --fixture FILE";
    try {
        return goldenLock(store, setup.station, u.iface, t->port(), setup.requireGoldenHours);
    } catch (const std::exception &e) {
        return std::string("the golden checks cannot be read from the store: ") + e.what();
    }
}

void sayLocked(const Unit &u, const std::string &why) {
    fprintf(stderr, "rfprobe: run: %s %s: %s (nothing was sent to it)\n", u.iface.empty() ? "unit" : u.iface.c_str(),
            u.serial.c_str(), why.c_str());
}

void sayRefused(const Unit &u, const std::string &why) {
    fprintf(stderr, "rfprobe: run: %s %s: route check: %s (nothing was sent to it, no record)\n",
            u.iface.empty() ? "unit" : u.iface.c_str(), u.serial.c_str(), why.c_str());
}

// The route checks of every unit at once; refusals[i] for units[i].
std::vector<std::string> routeRefusals(const Setup &setup, std::vector<std::map<std::string, std::string>> *meta) {
    std::vector<std::string> out(setup.units.size());
    meta->assign(setup.units.size(), {});
    std::vector<std::thread> ts;
    for (size_t i = 0; i < setup.units.size(); ++i)
        ts.emplace_back([&, i] { out[i] = routeRefusal(setup, setup.units[i], &(*meta)[i]); });
    for (std::thread &t : ts) t.join();
    return out;
}

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
    std::string locked = lockOf(setup, plan, store, u.tester.get(), setup.units[0]);
    if (!locked.empty()) {
        sayLocked(setup.units[0], locked);
        return station::kExitUsage;
    }
    std::string refused = routeRefusal(setup, setup.units[0], &u.rec.metadata);
    if (!refused.empty()) {
        sayRefused(setup.units[0], refused);
        return station::kExitUsage;
    }
    u.run(opt);
    if (!u.opened) return u.status;
    u.keep(store, store.url().display);
    int status = u.status;
    writeJunit(setup, runs, &status);
    printUnitLine(opt, setup, plan, u, store.url().display);
    return status;
}

// Every unit in a thread of its own, on its own interface.
int runParallel(const station::Options &opt, const Setup &all, const Plan &plan,
                results::Store &store, SharedTester *shared) {
    std::vector<std::string> ifaces;
    for (const Unit &u : all.units) ifaces.push_back(u.iface);
    std::vector<std::unique_ptr<UnitTester>> cabled(ifaces.size());
    int rc = cableUnits(plan, shared, ifaces, "run", [&](size_t i, const instrument::FixtureUnit &f) {
        cabled[i].reset(new UnitTester(*shared, f));
    });
    if (rc != station::kExitOk) return rc;
    // A locked port's unit is left out; the others run.
    Setup setup = all;
    setup.units.clear();
    std::vector<std::unique_ptr<UnitTester>> testers;
    bool refused = false;
    std::vector<std::map<std::string, std::string>> routeMeta;
    std::vector<std::string> routes = routeRefusals(all, &routeMeta);
    std::vector<std::map<std::string, std::string>> metaOf;
    for (size_t i = 0; i < all.units.size(); ++i) {
        std::string locked = lockOf(all, plan, store, cabled[i].get(), all.units[i]);
        if (!locked.empty() || !routes[i].empty()) {
            locked.empty() ? sayRefused(all.units[i], routes[i]) : sayLocked(all.units[i], locked);
            refused = true;
            continue;
        }
        setup.units.push_back(all.units[i]);
        testers.push_back(std::move(cabled[i]));
        metaOf.push_back(routeMeta[i]);
    }
    if (setup.units.empty()) return station::kExitUsage;
    bool live = isatty(STDOUT_FILENO) && !opt.verbose;
    Board board(setup.units, plan.steps.size(), live);
    UnitRuns runs;
    for (size_t i = 0; i < setup.units.size(); ++i) {
        runs.emplace_back(new UnitRun(setup, plan, i, &board));
        runs.back()->tester = std::move(testers[i]);
        for (const auto &kv : metaOf[i]) runs.back()->rec.metadata[kv.first] = kv.second;
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
    if (refused) status = station::worseStatus(status, station::kExitUsage);
    writeJunit(setup, runs, &status);
    printUnitTable(setup, plan, runs, store.url().display);
    return status;
}

// A plan with the tester but without records (run PLAN --fixture FILE).
int testerRun(const station::Options &opt, Plan &plan, const char *fixtureOption) {
    std::unique_ptr<SharedTester> shared;
    int rc = prepareGolden(&plan, {}, "run");
    if (rc != station::kExitOk) return rc;
    rc = prepareTester(plan, fixtureOption, "run", &shared);
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
    ctx.golden = plan.golden.get();
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
    // The bus outbox goes to the broker beside the units, never before them.
    std::unique_ptr<bus::Pump> pump;
    if (s.setup.bus) {
        pump.reset(new bus::Pump(*s.store, *s.setup.bus, s.setup.station,
                                 [](const std::string &m) { fprintf(stderr, "rfprobe: run: %s\n", m.c_str()); }));
        s.setup.pump = pump.get();
        pump->kick();
    }
    return s.setup.parallel ? runParallel(opt, s.setup, s.plan, *s.store, s.tester.get())
                            : runOne(opt, s.setup, s.plan, *s.store, s.tester.get());
}

}  // namespace line
