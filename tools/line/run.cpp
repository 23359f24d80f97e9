// Recorded plan runs: one unit (--dut) or several at once (--unit), each
// with its own record in the results store.
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "line/line.h"
#include "results/export.h"
#include "results/store.h"

namespace line {

using station::PlanStep;
using station::StepResult;
using station::Verdict;

namespace {

double monoSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

struct Plan {
    std::string path;  // as given, for messages
    std::string name;  // in records
    std::string sha256;
    std::vector<PlanStep> steps;
};

// Writes text to path through a temporary file renamed into place, so a
// reader never sees half a file.
bool writeFile(const std::string &path, const std::string &text, std::string *why) {
    static std::atomic<unsigned> serial{0};
    std::string tmp = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++serial);
    FILE *f = fopen(tmp.c_str(), "w");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = f && fflush(f) == 0 && ok;
    ok = f && fsync(fileno(f)) == 0 && ok;
    if (f && fclose(f) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        *why = path + ": " + strerror(errno);
        unlink(tmp.c_str());
    }
    return ok;
}

// ---- the display of a parallel run ----------------------------------------------

// One line per unit.  On a terminal the lines are redrawn in place as the
// units go; otherwise every finished step is a line of its own.
class Board {
  public:
    Board(const std::vector<Unit> &units, size_t steps, bool live)
        : units_(units), lines_(units.size()), steps_(steps), live_(live) {
        for (const Unit &u : units) {
            ifWidth_ = std::max(ifWidth_, u.iface.size());
            snWidth_ = std::max(snWidth_, u.serial.size());
        }
        for (size_t i = 0; i < units.size(); ++i) lines_[i] = "waiting";
        if (live_) {
            std::lock_guard<std::mutex> held(mu_);
            for (size_t i = 0; i < units.size(); ++i) printf("%s\n", row(i).c_str());
            fflush(stdout);
        }
    }

    void stepStarting(size_t u, size_t index, const PlanStep &s, Verdict sofar) {
        if (!live_) return;
        char text[160];
        snprintf(text, sizeof text, "%zu/%zu  line %d %-14s %s", index + 1, steps_, s.line,
                 s.action.cmd->word, sofar == Verdict::Pass ? "PASS so far" : "FAIL");
        set(u, text);
    }

    void stepDone(size_t u, const PlanStep &s, const StepResult &r) {
        if (live_) return;
        say(u, describeStep(s, r));
    }

    void note(size_t u, const char *text) {
        if (live_) return;  // kept for the table: the live lines stay whole
        std::lock_guard<std::mutex> held(mu_);
        fprintf(stderr, "rfprobe: %s %s: %s\n", units_[u].iface.c_str(), units_[u].serial.c_str(),
                text);
    }

    void finished(size_t u, const std::string &text) {
        if (live_)
            set(u, text);
        else
            say(u, text);
    }

    std::string head(size_t u) const {
        char buf[160];
        snprintf(buf, sizeof buf, "%-*s  %-*s", (int)ifWidth_, units_[u].iface.c_str(),
                 (int)snWidth_, units_[u].serial.c_str());
        return buf;
    }

  private:
    std::string row(size_t u) const { return head(u) + "  " + lines_[u]; }

    void say(size_t u, const std::string &text) {
        std::lock_guard<std::mutex> held(mu_);
        printf("%s %s: %s\n", units_[u].iface.c_str(), units_[u].serial.c_str(), text.c_str());
        fflush(stdout);
    }

    void set(size_t u, const std::string &text) {
        std::lock_guard<std::mutex> held(mu_);
        lines_[u] = text;
        printf("\033[%zuA", units_.size());
        for (size_t i = 0; i < units_.size(); ++i) printf("\r\033[2K%s\n", row(i).c_str());
        fflush(stdout);
    }

    const std::vector<Unit> &units_;
    std::vector<std::string> lines_;
    size_t steps_;
    bool live_;
    size_t ifWidth_ = 4, snWidth_ = 6;
    std::mutex mu_;
};

// ---- one unit ------------------------------------------------------------------

// Runs the plan on one unit and keeps its record.
class UnitRun : public station::PlanObserver, public station::Notes {
  public:
    UnitRun(const Setup &setup, const Plan &plan, size_t index, Board *board)
        : setup_(setup), plan_(plan), index_(index), board_(board) {
        const Unit &u = setup.units[index];
        rec.serial = u.serial;
        rec.station = setup.station;
        rec.operatorName = setup.operatorName;
        rec.metadata = setup.metadata;
        rec.planName = plan.name;
        rec.planSha256 = plan.sha256;
        rec.id = results::newRecordId();  // here, in the main thread: it may throw
    }

    // Runs the plan on an open link; the record is complete afterwards.
    void run(const station::Options &opt) {
        double t0 = monoSeconds();
        station::Link l;
        if (board_) l.notes = this;
        status = station::openLink(opt, &l);
        if (status != station::kExitOk) {
            opened = false;
            verdict = Verdict::Error;
            if (noteDetail_.empty()) noteDetail_ = "cannot open the link";
            seconds = monoSeconds() - t0;
            return;
        }
        rec.startedAt = results::nowUtc();
        station::PlanOutcome o = station::runSteps(l, opt, plan_.path.c_str(), plan_.steps, this);
        station::closeLink(&l);
        rec.endedAt = results::nowUtc();
        if (rec.endedAt < rec.startedAt) rec.endedAt = rec.startedAt;  // the clock was set back
        results::applyVerdicts(&rec);
        status = o.status;
        verdict = o.verdict;
        stepsRun = o.stepsRun;
        seconds = monoSeconds() - t0;
    }

    void stepStarting(size_t index, const PlanStep &s) override {
        stepStartUtc_ = results::nowUtc();
        stepStart_ = monoSeconds();
        if (board_) board_->stepStarting(index_, index, s, sofar_);
    }

    void stepDone(size_t, const PlanStep &s, const StepResult &r) override {
        rec.steps.push_back(recordStep(s, r, stepStartUtc_, monoSeconds() - stepStart_));
        if (r.verdict == Verdict::Fail) sofar_ = Verdict::Fail;
        // The first failure, else the first error, says what went wrong.
        if (r.verdict != Verdict::Pass &&
            (stepDetail_.empty() || (r.verdict == Verdict::Fail && !failSeen_)))
            stepDetail_ = describeStep(s, r);
        if (r.verdict == Verdict::Fail) failSeen_ = true;
        if (board_) board_->stepDone(index_, s, r);
    }

    void note(const char *text) override {
        if (noteDetail_.empty()) noteDetail_ = text;
        if (board_) board_->note(index_, text);
    }

    // What went wrong: a step's account, else the link's first message
    // (it could not be opened).
    std::string detail() const { return stepDetail_.empty() ? noteDetail_ : stepDetail_; }

    // Stores the record and writes its JSON; sets status to kExitStore and
    // says why when it cannot.
    void keep(results::Store &store, const std::string &where) {
        if (!opened) return;
        try {
            results::WriteOutcome w = store.write(rec);
            stored = true;
            spooled = w.spooled;
            if (w.spooled)
                complain("the store " + where + " cannot be reached (" + w.reason + "); record " +
                         rec.id + " is kept in the spool " + w.where +
                         "; rfprobe sync uploads it later");
        } catch (const std::exception &e) {
            complain("record " + rec.id + " NOT stored: " + e.what());
            status = station::kExitStore;
        }
        if (!setup_.jsonPath.empty()) {
            std::string why;
            if (!writeFile(forSerial(setup_.jsonPath, rec.serial), results::toJson(rec), &why)) {
                complain("cannot write the record's JSON: " + why);
                status = station::kExitStore;
            }
        }
    }

    void complain(const std::string &text) {
        fprintf(stderr, "rfprobe: %s: %s\n", rec.serial.c_str(), text.c_str());
    }

    std::string storedText() const {
        if (!opened) return "no record";
        return rec.id + (spooled ? " (spooled)" : stored ? "" : " (NOT stored)");
    }

    results::Record rec;
    int status = station::kExitOk;
    Verdict verdict = Verdict::Error;
    size_t stepsRun = 0;
    double seconds = 0;
    bool opened = true, stored = false, spooled = false;

  private:
    const Setup &setup_;
    const Plan &plan_;
    size_t index_;
    Board *board_;
    std::string stepStartUtc_;
    double stepStart_ = 0;
    Verdict sofar_ = Verdict::Pass;
    bool failSeen_ = false;
    std::string stepDetail_, noteDetail_;
};

std::string verdictOf(const UnitRun &u) {
    return u.opened ? station::verdictName(u.verdict) : "ERROR";
}

void writeJunit(const Setup &setup, const std::vector<std::unique_ptr<UnitRun>> &runs,
                int *status) {
    if (setup.junitPath.empty()) return;
    std::vector<const results::Record *> recs;
    for (const auto &u : runs)
        if (u->opened) recs.push_back(&u->rec);
    std::string why;
    if (!writeFile(setup.junitPath, results::toJunitXml(recs), &why)) {
        fprintf(stderr, "rfprobe: cannot write the JUnit XML: %s\n", why.c_str());
        *status = station::worseStatus(*status, station::kExitStore);
    }
}

// One unit, as a plain run prints it, and its record.
int runOne(const station::Options &opt, const Setup &setup, const Plan &plan,
           results::Store &store) {
    std::vector<std::unique_ptr<UnitRun>> runs;
    runs.emplace_back(new UnitRun(setup, plan, 0, nullptr));
    UnitRun &u = *runs[0];
    u.run(opt);
    if (!u.opened) return u.status;
    u.keep(store, store.url().display);
    int status = u.status;
    writeJunit(setup, runs, &status);
    if (opt.json)
        printf("{\"serial\":\"%s\",\"verdict\":\"%s\",\"record_id\":\"%s\",\"stored\":%s,"
               "\"spooled\":%s}\n",
               u.rec.serial.c_str(), verdictOf(u).c_str(), u.rec.id.c_str(),
               u.stored ? "true" : "false", u.spooled ? "true" : "false");
    else
        printf("%s: %s (plan %s, %zu of %zu steps, %.2f s; record %s%s %s)\n",
               u.rec.serial.c_str(), verdictOf(u).c_str(), plan.name.c_str(), u.stepsRun,
               plan.steps.size(), u.seconds, u.rec.id.c_str(),
               u.spooled ? " spooled in" : u.stored ? " in" : ", NOT stored in",
               u.spooled ? setup.spool.c_str() : store.url().display.c_str());
    fflush(stdout);
    return status;
}

// Every unit in a thread of its own, on its own interface.
int runParallel(const station::Options &opt, const Setup &setup, const Plan &plan,
                results::Store &store) {
    bool live = isatty(STDOUT_FILENO) && !opt.verbose;
    Board board(setup.units, plan.steps.size(), live);
    std::vector<std::unique_ptr<UnitRun>> runs;
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
            snprintf(text, sizeof text, "done: %s, %zu of %zu steps, %.2f s", verdictOf(u).c_str(),
                     u.stepsRun, plan.steps.size(), u.seconds);
            board.finished(i, text);
        });
    }
    for (std::thread &t : threads) t.join();
    int status = station::kExitOk;
    for (const auto &u : runs) status = station::worseStatus(status, u->status);
    writeJunit(setup, runs, &status);

    // The table of units and verdicts.
    std::vector<std::vector<std::string>> rows = {
        {"UNIT", "SERIAL", "VERDICT", "STEPS", "TIME", "RECORD", "DETAIL"}};
    for (size_t i = 0; i < runs.size(); ++i) {
        const UnitRun &u = *runs[i];
        char steps[32], secs[32];
        snprintf(steps, sizeof steps, "%zu/%zu", u.stepsRun, plan.steps.size());
        snprintf(secs, sizeof secs, "%.2f s", u.seconds);
        rows.push_back({setup.units[i].iface, u.rec.serial, verdictOf(u), steps, secs,
                        u.storedText(), u.verdict == Verdict::Pass ? "" : u.detail()});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &r : rows)
        for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
    printf("\n");
    for (const auto &r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c)
            line += c + 1 == r.size() ? r[c] : r[c] + std::string(width[c] - r[c].size() + 2, ' ');
        while (!line.empty() && line.back() == ' ') line.pop_back();
        printf("%s\n", line.c_str());
    }
    size_t pass = 0;
    for (const auto &u : runs) pass += u->opened && u->verdict == Verdict::Pass;
    printf("%zu of %zu units PASS; records in %s\n", pass, runs.size(),
           store.url().display.c_str());
    fflush(stdout);
    return status;
}

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

}  // namespace

bool handles(const station::Action &act) {
    station::ActionKind k = act.cmd->kind;
    return k == station::ActionKind::Sync || k == station::ActionKind::Report ||
           (k == station::ActionKind::Run && act.textCount > 0);
}

int syncCommand(const station::Action &act);
int reportCommand(const station::Action &act);

int execute(const station::Options &opt, const station::Action &act) {
    try {
        switch (act.cmd->kind) {
        case station::ActionKind::Sync:
            return syncCommand(act);
        case station::ActionKind::Report:
            return reportCommand(act);
        default:
            return recordedRun(opt, act);
        }
    } catch (const std::exception &e) {  // no random source for record ids, no memory
        fprintf(stderr, "rfprobe: %s: %s\n", act.cmd->word, e.what());
        return station::kExitStore;
    }
}

}  // namespace line
