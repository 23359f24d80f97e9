// Recorded plan runs: one unit (--dut) or several at once (--unit), each
// unit in a thread of its own with its own record in the results store.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "format/text.h"
#include "line/summary.h"
#include "results/store.h"

namespace line {

namespace {

// One unit, as a plain run prints it, and its record.
int runOne(const station::Options &opt, const Setup &setup, const Plan &plan,
           results::Store &store) {
    UnitRuns runs;
    runs.emplace_back(new UnitRun(setup, plan, 0, nullptr));
    UnitRun &u = *runs[0];
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
                results::Store &store) {
    bool live = isatty(STDOUT_FILENO) && !opt.verbose;
    Board board(setup.units, plan.steps.size(), live);
    UnitRuns runs;
    for (size_t i = 0; i < setup.units.size(); ++i)
        runs.emplace_back(new UnitRun(setup, plan, i, &board));
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

}  // namespace

int recordedRun(const station::Options &opt, const station::Action &act) {
    Plan plan;
    std::string bytes;
    int rc = station::readPlan(act.path, &plan.path, &bytes, &plan.steps);
    if (rc != station::kExitOk) return rc;
    Setup setup;
    try {
        setup = readSetup(opt, act, [](const char *name) { return getenv(name); });
        plan.name = planName(act.path);
        plan.sha256 = results::sha256Hex(bytes);
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: run: %s (nothing was sent)\n", e.what());
        return station::kExitUsage;
    }
    std::unique_ptr<results::Store> store;
    try {
        results::OpenOptions o;
        o.spoolPath = setup.spool;
        store = results::Store::open(setup.store, o);
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: run: %s (nothing was sent)\n", e.what());
        return station::kExitUsage;
    } catch (const std::exception &e) {
        fprintf(stderr, "rfprobe: run: %s (nothing was sent)\n", e.what());
        return station::kExitStore;
    }
    return setup.parallel ? runParallel(opt, setup, plan, *store)
                          : runOne(opt, setup, plan, *store);
}

}  // namespace line
