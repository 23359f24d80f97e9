// What a recorded run prints when its units are done (see summary.h).
#include "line/summary.h"

#include <cstdio>

#include "format/json.h"
#include "format/table.h"
#include "format/text.h"
#include "results/export.h"

namespace line {

using station::Verdict;

void printUnitLine(const station::Options &opt, const Setup &setup, const Plan &plan,
                   const UnitRun &u, const std::string &store) {
    const char *verdict = station::verdictName(u.verdict());
    if (opt.json) {
        format::Json j;
        j.open('{');
        j.key("serial"), j.str(u.rec.serial);
        j.key("verdict"), j.str(verdict);
        j.key("record_id"), j.str(u.rec.id);
        j.key("stored"), j.boolean(u.stored);
        j.key("spooled"), j.boolean(u.spooled);
        j.close('}');
        printf("%s\n", j.done().c_str());
    }
    else
        printf("%s: %s (plan %s, %zu of %zu steps, %s s; record %s%s %s)\n",
               u.rec.serial.c_str(), verdict, plan.name.c_str(), u.stepsRun, plan.steps.size(),
               format::fixed(u.seconds, 2).c_str(), u.rec.id.c_str(),
               u.spooled ? " spooled in" : u.stored ? " in" : ", NOT stored in",
               u.spooled ? setup.spool.c_str() : store.c_str());
    fflush(stdout);
}

void printUnitTable(const Setup &setup, const Plan &plan, const UnitRuns &runs,
                    const std::string &store) {
    format::Table t({{"UNIT"}, {"SERIAL"}, {"VERDICT"}, {"STEPS"}, {"TIME"}, {"RECORD"},
                     {"DETAIL"}});
    for (size_t i = 0; i < runs.size(); ++i) {
        const UnitRun &u = *runs[i];
        char steps[32];
        snprintf(steps, sizeof steps, "%zu/%zu", u.stepsRun, plan.steps.size());
        std::string secs = format::fixed(u.seconds, 2) + " s";
        Verdict v = u.verdict();
        t.row({setup.units[i].iface, u.rec.serial, station::verdictName(v), steps, secs,
               u.storedText(), v == Verdict::Pass ? "" : u.detail()});
    }
    printf("\n%s", t.text().c_str());
    size_t pass = 0;
    for (const auto &u : runs) pass += u->verdict() == Verdict::Pass;
    printf("%zu of %zu units PASS; records in %s\n", pass, runs.size(), store.c_str());
    fflush(stdout);
}

void writeJunit(const Setup &setup, const UnitRuns &runs, int *status) {
    if (setup.junitPath.empty()) return;
    std::vector<const results::Record *> recs;
    for (const auto &u : runs)
        if (u->opened) recs.push_back(&u->rec);
    std::string why;
    if (!writeFile(setup.junitPath, results::toJunitXml(recs), &why)) {
        fprintf(stderr, "rfprobe: the JUnit XML: %s\n", why.c_str());
        *status = station::worseStatus(*status, station::kExitStore);
    }
}

}  // namespace line
