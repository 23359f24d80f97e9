// The line's tester for plan steps (see tester.h).
#include "line/tester.h"

#include <cstdio>
#include <cstdlib>

#include "line/unit.h"
#include "station/step.h"

namespace line {

bool UnitTester::take(double *waitedMs) {
    turn_.reset(new instrument::Tester::Turn(shared_.tester.queue(), stop_));
    *waitedMs += turn_->waitedMs();
    if (turn_->held()) return true;
    turn_.reset();
    return false;
}

void UnitTester::give() { turn_.reset(); }

bool UnitTester::fail(const instrument::Error &e, std::string *why) {
    *why = e.message;
    if (e.fault == instrument::Fault::Cancelled) {
        // Still this unit's turn: the tester is left idle for the next one.
        instrument::Error ae;
        if (!shared_.tester.abort(&ae)) *why += "; the tester's abort failed: " + ae.message;
    }
    return false;
}

bool UnitTester::setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) {
    instrument::Error e;
    instrument::AnalyserSetup s;
    s.freqMhz = instrument::channelCentreMhz(channel, bwMhz, instrument::agentSideband(channel, bwMhz));
    s.bwMhz = bwMhz;
    lossDb_ = unit_.loss.at(s.freqMhz);
    freqMhz_ = s.freqMhz;
    s.levelDbm = expectDbm - lossDb_;  // what reaches the tester's port
    if (!shared_.tester.selectPort(unit_.port, &e, stop_)) return fail(e, why);
    if (!shared_.tester.setupAnalyser(s, &e, stop_)) return fail(e, why);
    return true;
}

bool UnitTester::measure(station::TxReading *out, std::string *why) {
    instrument::Error e;
    instrument::Measurement m;
    if (!shared_.tester.measure(&m, &e, stop_)) return fail(e, why);
    out->powerDbm = unit_.loss.atUnit(m.powerDbm, freqMhz_);
    out->evmDb = m.evmDb;
    out->freqErrorPpm = m.freqErrorPpm;
    return true;
}

bool UnitTester::setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                                std::string *why) {
    instrument::Error e;
    instrument::GeneratorSetup g;
    g.freqMhz = instrument::channelCentreMhz(channel, bwMhz, instrument::agentSideband(channel, bwMhz));
    g.bwMhz = bwMhz;
    g.rate = rate;
    lossDb_ = unit_.loss.at(g.freqMhz);
    freqMhz_ = g.freqMhz;
    g.levelDbm = unit_.loss.sourceLevel(levelDbm, g.freqMhz);
    if (!shared_.tester.selectPort(unit_.port, &e, stop_)) return fail(e, why);
    if (!shared_.tester.setupGenerator(g, &e, stop_)) return fail(e, why);
    return true;
}

bool UnitTester::sendFrames(long frames, std::string *why) {
    instrument::Error e;
    if (!shared_.tester.sendFrames(frames, &e, stop_)) return fail(e, why);
    return true;
}

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
