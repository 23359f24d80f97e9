// rfprobe fixture-cal: a port's path loss measured with the golden unit in
// it, written as that port's loss table in the fixture file.
//
// The golden unit sends its reference powers on each channel the plans
// set; the tester reads them through the cable alone (no loss applied),
// and the loss at the channel is the reference output minus the reading,
// averaged over the points.  The measurement is the golden check's own
// (the golden-check step, run with a zero loss table), so both read the
// unit the same way.  Everything that can be refused is checked before
// anything is sent; the fixture is replaced whole, or not at all.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "instrument/toml_read.h"
#include "line/golden.h"
#include "line/tester.h"
#include "line/unit.h"
#include "station/step/step.h"

namespace line {

namespace {

struct CalArgs {
    std::string fixture, reference, iface, serial;
    std::vector<std::string> plans;
};

int refuse(const std::string &why) {
    fprintf(stderr, "rfprobe: fixture-cal: %s (nothing was sent)\n", why.c_str());
    return station::kExitUsage;
}

bool readArgs(const station::Action &act, CalArgs *a, std::string *why) {
    for (unsigned i = 0; i < act.textCount; ++i) {
        const char *o = act.texts[i].arg->option, *v = act.texts[i].value;
        if (!strcmp(o, "--plan")) a->plans.push_back(v);
        if (!strcmp(o, "--unit")) {
            std::string u = v;
            size_t eq = u.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == u.size())
                return *why = "--unit " + u + ": give IF=SERIAL, the golden unit's serial", false;
            a->iface = u.substr(0, eq), a->serial = u.substr(eq + 1);
        }
    }
    a->fixture = fixturePath(act.text("--fixture"));
    if (const char *r = act.text("--reference")) a->reference = r;
    if (a->fixture.empty()) return *why = "give --fixture FILE or RFPROBE_FIXTURE", false;
    if (a->reference.empty()) return *why = "give --reference FILE, the golden unit's reference", false;
    if (a->iface.empty()) return *why = "give --unit IF=SERIAL, the golden unit's port", false;
    if (a->plans.empty()) return *why = "give --plan PLAN, once per plan the line runs", false;
    return true;
}

// The reference cut to the channels the plans set; a channel it does not
// have is refused with the plan's file and line.
bool channelsOfPlans(const CalArgs &a, const station::GoldenReference &ref, station::GoldenReference *out,
                     std::string *why) {
    std::set<int> used;
    for (const std::string &p : a.plans) {
        Plan plan;
        std::string bytes;
        if (station::readPlan(p.c_str(), &plan.path, &bytes, &plan.steps) != station::kExitOk)
            return *why = "plan " + p + " cannot be read", false;
        // The radio followed through the steps' effects: a step that sets
        // the channel names one.
        station::RadioState radio;
        for (const station::PlanStep &s : plan.steps) {
            const station::StepDef *def = s.action.cmd->step;
            if (!def || !def->effect) continue;
            station::RadioState before = radio;
            def->effect(s.action, radio);
            if (radio.channel < 0 || radio.channel == before.channel) continue;
            int ch = radio.channel;
            if (!ref.find(ch))
                return *why = plan.path + ":" + std::to_string(s.planLine) + ": " + s.action.cmd->word + " " +
                              std::to_string(ch) +
                              ": the golden reference " + ref.path + " has no channel " + std::to_string(ch),
                       false;
            used.insert(ch);
        }
    }
    if (used.empty()) return *why = "the plans set no channel: nothing to calibrate", false;
    *out = ref;
    out->channels.clear();
    for (int ch : used) out->channels.push_back(*ref.find(ch));
    return true;
}

// The step that measures the golden unit against its reference.
const char *goldenStep() {
    size_t n;
    const station::RegisteredStep *steps = station::registeredSteps(&n);
    for (size_t i = 0; i < n; ++i)
        if (steps[i].def->needs & station::kNeedsGolden) return steps[i].word;
    return nullptr;
}

}  // namespace

void lossesOf(const std::vector<station::RecordedValue> &values, std::map<int, std::vector<double>> *loss) {
    for (const station::RecordedValue &v : values) {
        int ch, chain;
        double set;
        char what[8];
        if (sscanf(v.name.c_str(), "ch%d_c%d_%4[a-z]_%lf", &ch, &chain, what, &set) == 4 && !strcmp(what, "diff"))
            (*loss)[ch].push_back(-v.value);
    }
}

namespace {

// Runs the golden unit's step on the unit with the cable's loss left out:
// what the step records as chC_cK_diff_P is then minus the loss.
int measure(const station::Options &opt, const CalArgs &a, const instrument::Fixture &fx,
            const station::GoldenReference &ref, std::map<int, std::vector<double>> *loss) {
    // The receive test's PER says nothing here: the loss is not known yet.
    const char *word = goldenStep();
    if (!word) return refuse("this rfprobe has no step that measures the golden unit");
    std::vector<std::string> words = {word, "--reference", ref.path, "--per-max", "100"};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    station::PlanStep step;
    char err[station::kErrLen];
    step.planLine = 1;
    if (station::parseAction((int)argv.size(), argv.data(), nullptr, &step.action, err, sizeof err) !=
        station::ParseResult::Ok)
        return refuse(err);
    std::vector<station::PlanStep> steps{step};
    SharedTester shared(fx);
    instrument::FixtureUnit bare = *fx.unit(a.iface);
    bare.loss.points.clear();  // no loss: the tester's own reading
    UnitTester tester(shared, bare);
    station::Options o = opt;
    snprintf(o.iface, sizeof o.iface, "%s", a.iface.c_str());
    o.quiet = true;  // the table of losses is what it prints
    station::Link l;
    int rc = station::openLink(o, &l);
    if (rc != station::kExitOk) return rc;
    station::StepContext ctx;
    ctx.tester = &tester;
    ctx.golden = &ref;
    station::PlanRun pr(l, o, "fixture-cal", steps, &ctx);
    const station::StepResult &r = pr.run();
    if (r.status == station::kExitOk && r.detail) lossesOf(r.detail->values, loss);
    rc = r.status;
    if (rc != station::kExitOk) fprintf(stderr, "rfprobe: fixture-cal: %s (the fixture is as it was)\n", r.error);
    pr.finish();
    station::closeLink(&l);
    return rc;
}

std::string lossList(const std::vector<std::pair<double, double>> &pts) {
    std::string s;
    for (const auto &p : pts) {
        char b[48];
        snprintf(b, sizeof b, "%s[%g, %.2f]", s.empty() ? "" : ", ", p.first, p.second);
        s += b;
    }
    return "[" + s + "]";
}

}  // namespace

int fixtureCalCommand(const station::Options &opt, const station::Action &act) {
    CalArgs a;
    std::string why;
    if (!readArgs(act, &a, &why)) return refuse(why);
    station::GoldenReference ref, used;
    if (!loadGoldenReference(a.reference, &ref, &why)) return refuse(why);
    if (ref.serial != a.serial)
        return refuse("the unit " + a.serial + " on " + a.iface + " is not the golden unit of " + a.reference +
                      " (serial " + ref.serial + ")");
    if (!channelsOfPlans(a, ref, &used, &why)) return refuse(why);
    instrument::Fixture fx;
    if (!instrument::loadFixture(a.fixture, &fx, &why)) return refuse("fixture " + why);
    if (!fx.unit(a.iface)) return refuse("the fixture " + a.fixture + " has no unit " + a.iface);
    if (!instrument::canRewriteFixture(a.fixture, &why)) return refuse(why);
    std::string text, check;
    if (!instrument::readWhole(a.fixture, &text, &why) ||
        !instrument::replaceLossText(text, a.fixture, a.iface, {{2412, 0}}, &check, &why))
        return refuse(why);
    std::map<int, std::vector<double>> loss;
    int rc = measure(opt, a, fx, used, &loss);
    if (rc != station::kExitOk) return rc;
    std::map<double, double> byFreq;
    for (const station::GoldenChannel &c : used.channels) {
        const std::vector<double> &v = loss[c.channel];
        if (v.empty()) continue;
        double sum = 0, lo = v[0], hi = v[0];
        for (double x : v) sum += x, lo = std::fmin(lo, x), hi = std::fmax(hi, x);
        double mhz = instrument::channelCentreMhz(c.channel, c.bwMhz, instrument::agentSideband(c.channel, c.bwMhz));
        byFreq[mhz] = std::round(sum / (double)v.size() * 100) / 100;
        printf("channel %d (%g MHz): path loss %.2f dB (%zu points, spread %.2f dB)\n", c.channel, mhz,
               byFreq[mhz], v.size(), hi - lo);
    }
    std::vector<std::pair<double, double>> points(byFreq.begin(), byFreq.end());
    if (!instrument::rewriteFixtureLoss(a.fixture, a.iface, points, &why)) {
        fprintf(stderr, "rfprobe: fixture-cal: %s\n", why.c_str());
        return station::kExitStore;
    }
    printf("fixture %s: units.%s.loss = %s (was %s)\n", a.fixture.c_str(), a.iface.c_str(), lossList(points).c_str(),
           lossList(fx.unit(a.iface)->loss.points).c_str());
    return station::kExitOk;
}

}  // namespace line
