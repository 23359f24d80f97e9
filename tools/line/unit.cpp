// One unit's recorded run (see unit.h).
#include "line/unit.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "bus/cfx.h"
#include "bus/pump.h"
#include "format/output.h"
#include "line/golden.h"
#include "results/export.h"

namespace line {

using station::Verdict;

double monoSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

bool writeFile(const std::string &path, const std::string &text, std::string *why) {
    try {
        format::writeOutput(path, text);
        return true;
    } catch (const format::OutputError &e) {
        *why = e.what();
        return false;
    }
}

UnitRun::UnitRun(const Setup &setup, const Plan &plan, size_t index, Board *board)
    : setup_(setup), plan_(plan), index_(index), board_(board) {
    const Unit &u = setup.units[index];
    rec.serial = u.serial;
    rec.station = setup.station;
    rec.operatorName = setup.operatorName;
    rec.metadata = setup.metadata;
    rec.planName = plan.name;
    rec.planSha256 = plan.sha256;
    rec.id = results::newRecordId();
}

bool UnitRun::begin(const station::Options &opt) {
    t0_ = monoSeconds();
    opt_ = opt;
    link_.stop = &stop;
    link_.notes = &notes_;
    status = station::openLink(opt_, &link_);
    passNotes();
    if (status != station::kExitOk) {
        opened = false;
        if (noteDetail_.empty()) noteDetail_ = "cannot open the link";
        seconds = monoSeconds() - t0_;
        return false;
    }
    rec.startedAt = results::nowUtc();
    ctx_.tester = tester.get();
    ctx_.golden = plan_.golden.get();
    if (plan_.golden) {
        // A golden check's record: the lock-out and the report find it by these.
        rec.metadata[kKindKey] = kGoldenKind;
        if (tester) rec.metadata[kFixturePortKey] = std::to_string(tester->port());
    }
    if (tester) tester->useStop(&stop);
    steps_.reset(new station::PlanRun(link_, opt_, plan_.path.c_str(), plan_.steps, &ctx_));
    return true;
}

const station::PlanStep *UnitRun::next() const { return steps_ ? steps_->next() : nullptr; }

const station::StepResult &UnitRun::step() {
    size_t index = steps_->index();
    const station::PlanStep &s = *steps_->next();
    std::string startUtc = results::nowUtc();
    double start = monoSeconds();
    if (board_) board_->stepStarting(index_, index, s, sofar_);
    const station::StepResult &r = steps_->run();
    passNotes();
    rec.steps.push_back(recordStep(s, r, startUtc, monoSeconds() - start));
    if (r.verdict == Verdict::Fail) sofar_ = Verdict::Fail;
    // The first failure, else the first error, says what went wrong.
    if (r.verdict != Verdict::Pass && (stepDetail_.empty() || (r.verdict == Verdict::Fail && !failSeen_)))
        stepDetail_ = describeStep(s, r);
    if (r.verdict == Verdict::Fail) failSeen_ = true;
    if (board_) board_->stepDone(index_, s, r);
    ++stepsRun;
    return r;
}

void UnitRun::end() {
    if (!steps_) return;
    station::PlanOutcome o = steps_->finish();
    passNotes();
    station::closeLink(&link_);
    // The record names the instrument that measured it.
    if (ctx_.testerUsed) rec.metadata[kTesterIdnKey] = testerIdnText(tester->idn());
    rec.endedAt = results::nowUtc();
    if (rec.endedAt < rec.startedAt) rec.endedAt = rec.startedAt;  // the clock was set back
    // The plan's verdict as the station decided it; the store checks it
    // against the steps (results::validateRecord) and never decides again.
    rec.verdict = o.verdict;
    status = o.status;
    stepsRun = o.stepsRun;
    seconds = monoSeconds() - t0_;
    steps_.reset();
}

void UnitRun::run(const station::Options &opt) {
    if (begin(opt))
        while (next()) step();
    end();
}

void UnitRun::passNotes() {
    for (const std::string &n : notes_) {
        if (noteDetail_.empty()) noteDetail_ = n;
        if (keepNotes)
            kept_.push_back(n);
        else if (board_)
            board_->note(index_, n.c_str());
        else
            fprintf(stderr, "rfprobe: %s\n", n.c_str());
    }
    notes_.clear();
}

std::vector<std::string> UnitRun::takeNotes() {
    std::vector<std::string> out;
    out.swap(kept_);
    return out;
}

void UnitRun::keep(results::Store &store, const std::string &where) {
    if (!opened) return;
    try {
        // The bus's messages go with the record, in its transaction.
        results::WriteOutcome w =
            setup_.bus ? store.write(rec, bus::recordMessages(*setup_.bus, rec)) : store.write(rec);
        if (setup_.pump) setup_.pump->kick();
        stored = true;
        spooled = w.spooled;
        if (w.spooled)
            complain("the store " + where + " cannot take the record (" + w.reason +
                     "); record " + rec.id + " is kept in the spool " + w.where +
                     "; rfprobe sync uploads it later");
    } catch (const std::exception &e) {
        // Not even the spool took it: the record's JSON follows on
        // standard error, one line, so that it is never silently lost.
        complain("record " + rec.id + " NOT stored: " + e.what() + "; the record follows");
        if (board_)
            board_->message(results::toJson(rec, false));
        else
            fprintf(stderr, "%s\n", results::toJson(rec, false).c_str());
        status = station::kExitStore;
    }
    if (!setup_.jsonPath.empty()) {
        std::string why;
        if (!writeFile(forSerial(setup_.jsonPath, rec.serial), results::toJson(rec), &why)) {
            complain("the record's JSON: " + why);
            status = station::kExitStore;
        }
    }
}

void UnitRun::complain(const std::string &text) {
    std::string line = "rfprobe: " + rec.serial + ": " + text;
    if (board_)
        board_->message(line);
    else
        fprintf(stderr, "%s\n", line.c_str());
}

std::string UnitRun::storedText() const {
    if (!opened) return "no record";
    return rec.id + (spooled ? " (spooled)" : stored ? "" : " (NOT stored)");
}

}  // namespace line
