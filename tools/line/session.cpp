// What run and serve open before anything is sent (see session.h).
#include "line/session.h"

#include "line/golden.h"

#include <cstdio>
#include <cstdlib>

namespace line {

int openSession(const station::Options &opt, const station::Action &act, const char *word, bool unitsLater,
                const std::function<void()> &ownOptions, Session *out) {
    std::string bytes;
    Plan &plan = out->plan;
    int rc = station::readPlan(act.path, &plan.path, &bytes, &plan.steps);
    if (rc != station::kExitOk) return rc;
    try {
        out->setup = readSetup(opt, act, [](const char *name) { return getenv(name); }, unitsLater);
        if (ownOptions) ownOptions();
        plan.name = planName(act.path);
        plan.sha256 = results::sha256Hex(bytes);
    } catch (const results::InvalidInput &e) {
        fprintf(stderr, "rfprobe: %s: %s (nothing was sent)\n", word, e.what());
        return station::kExitUsage;
    }
    // The golden unit's reference, when the plan checks one, and its
    // serial against the units (serve's come with each scan).
    std::vector<std::string> serials;
    for (const Unit &u : out->setup.units) serials.push_back(u.serial);
    rc = prepareGolden(&plan, serials, word);
    if (rc != station::kExitOk) return rc;
    rc = prepareTester(plan, act.text("--fixture"), word, &out->tester);
    if (rc != station::kExitOk) return rc;
    return openStore(out->setup, word, &out->store);
}

}  // namespace line
