// The line's tester for plan steps (see tester.h).
#include "line/tester.h"

#include <cstdio>
#include <cstdlib>

#include "line/unit.h"
#include "station/step/step.h"

namespace line {

std::string fixturePath(const char *option) {
    if (option) return option;
    const char *env = getenv("RFPROBE_FIXTURE");
    return env ? env : "";
}

int prepareTester(const Plan &plan, const char *option, const char *command,
                  std::unique_ptr<SharedTester> *out) {
    const station::PlanStep *first = nullptr;
    bool needed = station::planUsesTester(plan.steps, &first);
    std::string path = fixturePath(option);
    if (path.empty()) {
        if (!needed) return station::kExitOk;
        fprintf(stderr,
                "rfprobe: %s: %s:%d: %s needs the tester: give --fixture FILE or "
                "RFPROBE_FIXTURE (nothing was sent)\n",
                command, plan.path.c_str(), first->planLine, first->action.cmd->word);
        return station::kExitUsage;
    }
    instrument::Fixture f;
    std::string err;
    if (!instrument::loadFixture(path, &f, &err)) {
        fprintf(stderr, "rfprobe: %s: fixture %s (nothing was sent)\n", command, err.c_str());
        return station::kExitUsage;
    }
    // Every rate the plan's generator steps send must have a name in the
    // profile's maps ({rate|waveform}): checked now, not at the step.
    for (const station::PlanStep &s : plan.steps) {
        const station::StepDef *step = s.action.cmd->step;
        if (!step || !(step->needs & station::kGeneratorRate)) continue;
        if (!f.profile.canSend("rate", std::to_string(s.action.req.byteArg), &err)) {
            fprintf(stderr, "rfprobe: %s: %s:%d: %s: %s (nothing was sent)\n", command, plan.path.c_str(),
                    s.planLine, s.action.cmd->word, err.c_str());
            return station::kExitUsage;
        }
    }
    out->reset(new SharedTester(f));
    return station::kExitOk;
}

namespace {

// The fixture's entry of a unit: its interface, or the only unit of the
// fixture when the station listens on any interface.
const instrument::FixtureUnit *fixtureUnit(const instrument::Fixture &f, const std::string &iface) {
    if (iface.empty()) return f.units.size() == 1 ? &f.units[0] : nullptr;
    return f.unit(iface);
}

}  // namespace

int cableUnits(const Plan &plan, const SharedTester *shared, const std::vector<std::string> &ifaces,
               const char *command,
               const std::function<void(size_t, const instrument::FixtureUnit &)> &give) {
    if (!shared) return station::kExitOk;
    bool needed = station::planUsesTester(plan.steps);
    for (size_t i = 0; i < ifaces.size(); ++i) {
        const instrument::FixtureUnit *u = fixtureUnit(shared->fixture, ifaces[i]);
        if (!u) {
            if (!needed) continue;
            fprintf(stderr,
                    "rfprobe: %s: the fixture %s has no unit %s%s: the plan's tester steps "
                    "need its port and path loss (nothing was sent)\n",
                    command, shared->fixture.path.c_str(),
                    ifaces[i].empty() ? "for any interface" : ("on interface " + ifaces[i]).c_str(),
                    ifaces[i].empty() ? " (name the interface with --iface)" : "");
            return station::kExitUsage;
        }
        give(i, *u);
    }
    return station::kExitOk;
}

}  // namespace line
