// The operator page's model (see panels.h).
#include "serve/panels.h"

#include <cstdio>

#include "format/json.h"
#include "line/golden.h"
#include "results/record.h"
#include "station/measures.h"

namespace serve {

using station::Verdict;

struct StepView {
    int line;
    std::string command, args;
    bool done = false;
    Verdict verdict = Verdict::Pass;
    std::vector<station::Measured> measured;
    std::string error;
};

// One run of a unit: its own record options (this unit alone), its thread
// (its stop is the UnitRun's token).  Its callbacks come from that thread.
struct Panels::Run {
    Panels *owner;
    size_t u;
    line::Setup setup;
    std::unique_ptr<line::UnitRun> unit;
    std::thread thread;

    // The run's thread drives the unit a step at a time and shows each.
    void drive(const station::Options &o);
    void stepStarting(const station::PlanStep &s);
    void stepDone(const station::StepResult &r);
    void notes(const std::vector<std::string> &texts);
};

struct Panels::Panel {
    enum class State { Idle, Running, Done } state = State::Idle;
    std::string serial;
    Verdict verdict = Verdict::Pass;
    bool stopping = false;
    std::vector<StepView> steps;
    std::string message;  // why a scan was refused, or what went wrong
    bool locked = false;  // --require-golden: its port's golden check did not pass
    std::string record;
    int attempt = 0;       // of this serial, 1 for its first
    std::string previous;  // the serial's verdict before this attempt
    std::chrono::steady_clock::time_point began, ended;
    std::unique_ptr<Run> run;
};

namespace {

int64_t msBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

}  // namespace

Panels::Panels(const station::Options &opt, const line::Setup &setup, const line::Plan &plan,
               results::Store &store, std::vector<UnitSlot> slots, line::SharedTester *tester)
    : opt_(opt), setup_(setup), plan_(plan), store_(store), slots_(std::move(slots)),
      tester_(tester) {
    opt_.quiet = true;
    for (size_t i = 0; i < slots_.size(); ++i) {
        panels_.emplace_back(new Panel);
        panels_.back()->message = lockOf(i);
        panels_.back()->locked = !panels_.back()->message.empty();
    }
}

std::string Panels::lockOf(size_t u) {
    if (setup_.requireGoldenHours <= 0 || plan_.golden) return "";
    if (!slots_[u].cable) return "unit " + slots_[u].iface + " has no tester port in the fixture: --require-golden "
                                 "checks the golden check of its port";
    try {
        return line::goldenLock(store_, setup_.station, slots_[u].iface, slots_[u].cable->port,
                                setup_.requireGoldenHours);
    } catch (const std::exception &e) {
        return std::string("cannot check the golden unit: ") + e.what();
    }
}

bool Panels::checksGolden() const { return setup_.requireGoldenHours > 0 && !plan_.golden; }

std::shared_ptr<ScanTicket> Panels::startChecked(size_t u, const std::string &serial,
                                                 std::function<void(const std::string &)> done) {
    auto ticket = std::make_shared<ScanTicket>();
    std::unique_lock<std::mutex> g(checkMu_);
    if (checkerEnds_) {
        g.unlock();
        if (ticket->claim()) done("the station is closing: no new runs (nothing was sent)");
        return ticket;
    }
    if (!checker_.joinable()) checker_ = std::thread([this] { checkScans(); });
    checks_.push_back({u, serial, ticket, std::move(done)});
    checkCv_.notify_one();
    return ticket;
}

// One scan at a time: its port's check read from the store (however long
// the store takes), then the run started, unless the page gave up first;
// the panel shows the lock either way.  A scan the page refused while it
// waited its turn is not checked at all.
void Panels::checkScans() {
    for (;;) {
        Check c;
        {
            std::unique_lock<std::mutex> g(checkMu_);
            checkCv_.wait(g, [&] { return checkerEnds_ || !checks_.empty(); });
            if (checks_.empty()) return;
            c = std::move(checks_.front());
            checks_.pop_front();
        }
        if (c.ticket->claimed()) continue;  // refused already: the store is not asked again
        std::map<std::string, std::string> meta;
        std::string locked = gate(c.u, c.serial, &meta);
        if (c.ticket->claim()) {
            c.done(begin(c.u, c.serial, locked, meta));
            continue;
        }
        std::lock_guard<std::mutex> g(mu_);
        if (c.u < panels_.size() && panels_[c.u]->locked != !locked.empty()) {
            panels_[c.u]->locked = !locked.empty();
            changed();
        }
    }
}

Panels::~Panels() { close(); }

void Panels::changed() {
    ++version_;
    cv_.notify_all();
}

std::string Panels::refusal(size_t u, const std::string &serial, const std::string &locked) {
    const Panel &p = *panels_[u];
    if (closing_ || station::interruptedBySignal()) return "the station is closing: no new runs";
    if (p.state == Panel::State::Running)
        return "unit " + slots_[u].label + " is still testing " + p.serial + ": stop it or wait for its verdict";
    try {
        results::validateSerial(serial);
    } catch (const results::InvalidInput &e) {
        return e.what();
    }
    for (size_t k = 0; k < panels_.size(); ++k)
        if (k != u && panels_[k]->state == Panel::State::Running && panels_[k]->serial == serial)
            return "serial " + serial + " is under test on unit " + slots_[k].label;
    if (plan_.golden && serial != plan_.golden->serial)
        return "the unit " + serial + " is not the golden unit of " + plan_.golden->path + " (serial " +
               plan_.golden->serial + ")";
    return locked;
}

void Panels::finished(Run *r) {
    line::UnitRun &unit = *r->unit;
    std::lock_guard<std::mutex> g(mu_);
    Panel &p = *panels_[r->u];
    p.state = Panel::State::Done;
    p.ended = std::chrono::steady_clock::now();
    p.verdict = unit.verdict();
    tries_[p.serial].last = station::verdictName(p.verdict);
    p.record = unit.storedText();
    p.message = p.verdict == Verdict::Pass ? "" : unit.detail();
    if (p.stopping) p.message = "stopped on the page: " + p.message;
    worst_ = station::worseStatus(worst_, unit.status == station::kExitStore ? station::kExitStore : station::kExitOk);
    history_.push_front({unit.rec.serial, slots_[r->u].label, station::verdictName(p.verdict), p.record,
                         unit.rec.endedAt.empty() ? results::nowUtc() : unit.rec.endedAt});
    if (history_.size() > kHistory) history_.pop_back();
    changed();
}

std::string Panels::start(size_t u, const std::string &serial) {
    // Read from the store (and asked of the MES) before the page's lock is taken.
    std::map<std::string, std::string> meta;
    std::string locked = gate(u, serial, &meta);
    return begin(u, serial, locked, meta);
}

std::string Panels::gate(size_t u, const std::string &serial, std::map<std::string, std::string> *routeMeta) {
    if (u >= slots_.size()) return "";
    std::string locked = lockOf(u);
    if (!locked.empty() || !setup_.bus) return locked;
    try {
        results::validateSerial(serial);  // refused as such by begin(), not asked of the MES
    } catch (const results::InvalidInput &) {
        return "";
    }
    std::string refused = line::routeRefusal(setup_, {slots_[u].iface, serial}, routeMeta);
    if (!refused.empty()) {
        fprintf(stderr, "rfprobe: serve: %s %s: route check: %s (nothing was sent to it, no record)\n",
                slots_[u].label.c_str(), serial.c_str(), refused.c_str());
        return "route check: " + refused;
    }
    return "";
}

void Panels::busDepth(size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    if (busDepth_ == n) return;
    busDepth_ = n;
    changed();
}

std::string Panels::begin(size_t u, const std::string &serial, const std::string &locked,
                          const std::map<std::string, std::string> &routeMeta) {
    std::unique_lock<std::mutex> lock(mu_);
    if (u >= panels_.size()) return "no such unit";
    Panel &p = *panels_[u];
    p.locked = !locked.empty();
    std::string why = refusal(u, serial, locked);
    // A refusal goes back to the page that scanned, which shows it where
    // the scan was made; kept on the panel, it would outlive its moment.
    if (!why.empty()) return why + " (nothing was sent)";
    // The previous run's thread has ended (its state is Done); reap it.
    if (p.run && p.run->thread.joinable()) p.run->thread.join();
    std::unique_ptr<Run> run(new Run);
    run->owner = this;
    run->u = u;
    run->setup = setup_;
    run->setup.units = {{slots_[u].iface, serial}};
    run->setup.parallel = true;
    try {
        run->unit.reset(new line::UnitRun(run->setup, plan_, 0, nullptr));
        for (const auto &kv : routeMeta) run->unit->rec.metadata[kv.first] = kv.second;
        if (tester_ && slots_[u].cable)
            run->unit->tester.reset(new line::UnitTester(*tester_, *slots_[u].cable));
    } catch (const std::exception &e) {
        return std::string("cannot start: ") + e.what() + " (nothing was sent)";
    }
    run->unit->keepNotes = true;
    p.state = Panel::State::Running;
    p.serial = serial;
    p.stopping = false;
    p.steps.clear();
    p.message.clear();
    p.record.clear();
    if (tries_.size() >= kAttemptsKept && !tries_.count(serial)) tries_.clear();
    Tries &t = tries_[serial];
    p.attempt = ++t.attempts;
    p.previous = t.last;
    p.began = std::chrono::steady_clock::now();
    Run *r = run.get();
    p.run = std::move(run);
    station::Options o = opt_;
    snprintf(o.iface, sizeof o.iface, "%s", slots_[u].iface.c_str());
    r->thread = std::thread([this, r, o] {
        r->drive(o);
        r->unit->keep(store_, store_.url().display);
        finished(r);
    });
    changed();
    return "";
}

bool Panels::stop(size_t u) {
    std::lock_guard<std::mutex> lock(mu_);
    if (u >= panels_.size() || panels_[u]->state != Panel::State::Running) return false;
    panels_[u]->stopping = true;
    panels_[u]->run->unit->stop.raise();
    changed();
    return true;
}

void Panels::Run::drive(const station::Options &o) {
    if (unit->begin(o)) {
        while (const station::PlanStep *s = unit->next()) {
            stepStarting(*s);
            const station::StepResult &r = unit->step();
            notes(unit->takeNotes());
            stepDone(r);
        }
    }
    notes(unit->takeNotes());
    unit->end();
    notes(unit->takeNotes());
}

void Panels::Run::stepStarting(const station::PlanStep &s) {
    std::lock_guard<std::mutex> lock(owner->mu_);
    StepView v;
    v.line = s.planLine;
    v.command = s.action.cmd->word;
    for (const std::string &a : s.args) v.args += (v.args.empty() ? "" : " ") + a;
    owner->panels_[u]->steps.push_back(v);
    owner->changed();
}

void Panels::Run::stepDone(const station::StepResult &r) {
    std::lock_guard<std::mutex> lock(owner->mu_);
    Panel &p = *owner->panels_[u];
    if (p.steps.empty()) return;
    StepView &v = p.steps.back();
    v.done = true;
    v.verdict = r.verdict;
    v.measured.assign(r.measured, r.measured + r.measuredCount);
    if (r.verdict == Verdict::Error) v.error = r.error;
    owner->changed();
}

void Panels::Run::notes(const std::vector<std::string> &texts) {
    if (texts.empty()) return;
    std::lock_guard<std::mutex> lock(owner->mu_);
    Panel &p = *owner->panels_[u];
    if (p.message.empty()) p.message = texts.front();
    owner->changed();
}

namespace {

// One step of a panel, as the page reads it.
void stepJson(format::Json *jp, const StepView &s) {
    format::Json &j = *jp;
    j.open('{');
    j.key("line"), j.integer(s.line);
    j.key("command"), j.str(s.command);
    j.key("args"), j.str(s.args);
    j.key("verdict");
    if (s.done)
        j.str(station::verdictName(s.verdict));
    else
        j.null();
    j.key("error"), j.str(s.error);
    j.key("measured"), j.open('[');
    for (const station::Measured &m : s.measured) {
        j.open('{');
        j.key("name"), j.str(m.name);
        j.key("value"), j.num(m.value);
        // What the page shows: the station's text of the value, so that it
        // reads as the station's line does.
        station::MeasureInfo info = station::measureInfo(m.name);
        j.key("unit"), j.str(info.unit);
        j.key("resolution"), j.num(station::measureResolution(info));
        j.key("shown"), j.str(station::shownValue(m));
        j.key("low");
        if (m.limit.hasLow) j.num(m.limit.low); else j.null();
        j.key("high");
        if (m.limit.hasHigh) j.num(m.limit.high); else j.null();
        j.key("verdict"), j.str(station::verdictName(m.verdict));
        j.close('}');
    }
    j.close(']');
    j.close('}');
}

}  // namespace

std::string Panels::snapshot(uint64_t *version) {
    std::lock_guard<std::mutex> lock(mu_);
    *version = version_;
    format::Json j;
    j.open('{');
    j.key("plan"), j.str(plan_.name);
    j.key("plan_steps"), j.integer((int64_t)plan_.steps.size());
    j.key("station"), j.str(setup_.station);
    j.key("closing"), j.boolean(closing_);
    j.key("bus_outbox");
    if (setup_.bus)
        j.integer((int64_t)busDepth_);
    else
        j.null();
    j.key("units"), j.open('[');
    for (size_t i = 0; i < panels_.size(); ++i) {
        const Panel &p = *panels_[i];
        j.open('{');
        j.key("iface"), j.str(slots_[i].iface);
        j.key("label"), j.str(slots_[i].label);
        j.key("state"), j.str(p.state == Panel::State::Idle      ? "idle"
                              : p.state == Panel::State::Running ? "running"
                                                                 : "done");
        j.key("serial"), j.str(p.serial);
        j.key("verdict");
        if (p.state == Panel::State::Done)
            j.str(station::verdictName(p.verdict));
        else
            j.null();
        j.key("stopping"), j.boolean(p.stopping);
        j.key("locked"), j.boolean(p.locked);
        j.key("message"), j.str(p.message);
        j.key("record"), j.str(p.record);
        j.key("attempt"), j.integer(p.attempt);
        j.key("previous"), j.str(p.previous);
        j.key("elapsed_ms");
        if (p.state == Panel::State::Idle)
            j.null();
        else
            j.integer(msBetween(p.began, p.state == Panel::State::Running
                                             ? std::chrono::steady_clock::now()
                                             : p.ended));
        j.key("steps"), j.open('[');
        for (const StepView &s : p.steps) stepJson(&j, s);
        j.close(']');
        j.close('}');
    }
    j.close(']');
    j.key("history"), j.open('[');
    for (const Done &d : history_) {
        j.open('{');
        j.key("serial"), j.str(d.serial);
        j.key("unit"), j.str(d.unit);
        j.key("verdict"), j.str(d.verdict);
        j.key("record"), j.str(d.record);
        j.key("ended_at"), j.str(d.endedAt);
        j.close('}');
    }
    j.close(']');
    j.close('}');
    return j.done();
}

bool Panels::waitChange(uint64_t *seen, int ms, std::string *snap) {
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(ms),
                          [&] { return version_ != *seen || closing_; }))
            return false;
        if (closing_ && version_ == *seen) return false;
    }
    *snap = snapshot(seen);
    return true;
}

bool Panels::closing() {
    std::lock_guard<std::mutex> lock(mu_);
    return closing_;
}

int Panels::close() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        closing_ = true;
        changed();
    }
    // The scans still waiting for their check start nothing now; the
    // one being checked ends (and refuses, the station closing).
    {
        std::lock_guard<std::mutex> g(checkMu_);
        checkerEnds_ = true;
        checks_.clear();
        checkCv_.notify_all();
    }
    if (checker_.joinable()) checker_.join();
    std::vector<std::thread *> threads;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto &p : panels_)
            if (p->run && p->run->thread.joinable()) threads.push_back(&p->run->thread);
    }
    for (std::thread *t : threads) t->join();
    std::lock_guard<std::mutex> lock(mu_);
    changed();
    return worst_;
}

}  // namespace serve
