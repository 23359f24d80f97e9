// One unit's recorded run: the plan on its link, each step made into a step
// of its record as it ends, then the record kept in the store (and its
// JSON file).  The threads of a run of several units each hold one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "line/board.h"
#include "line/line.h"
#include "line/tester.h"
#include "results/store.h"

namespace line {

struct Plan {
    std::string path;  // as given, for messages
    std::string name;  // in records
    std::string sha256;
    std::vector<station::PlanStep> steps;
    // The golden unit's reference of its golden-check step (golden.h).
    std::shared_ptr<const station::GoldenReference> golden;
};

double monoSeconds();

// Writes text to path whole or not at all (format::writeOutput); false
// with the reason in why when it cannot.
bool writeFile(const std::string &path, const std::string &text, std::string *why);

// One unit's run of the plan, one step at a time: whoever drives it (the
// line's threads, the operator page's) keeps its own account between
// steps, and nothing below calls up into it.
//
//   if (u.begin(opt)) while (const station::PlanStep *s = u.next()) u.step();
//   u.end();          // or u.run(opt) for all of it
class UnitRun {
  public:
    // board: null for a single unit, which prints as a plain run does.
    // Takes a new record id: may throw (no random source).
    UnitRun(const Setup &setup, const Plan &plan, size_t index, Board *board);
    UnitRun(const UnitRun &) = delete;
    UnitRun &operator=(const UnitRun &) = delete;

    // Opens the unit's link; false (status set, no record) when it cannot.
    bool begin(const station::Options &opt);
    // The step that runs next, or null when the plan has ended.
    const station::PlanStep *next() const;
    // Runs it into the record; its result stays valid until the next step.
    const station::StepResult &step();
    // Closes the link; the record is complete.
    void end();
    // begin, every step, end.
    void run(const station::Options &opt);

    // The link's messages since the last call, when keepNotes is set (the
    // operator page shows them; otherwise they go to the board or to
    // standard error).
    std::vector<std::string> takeNotes();
    bool keepNotes = false;

    // What went wrong: a step's account, else the link's first message
    // (it could not be opened).
    std::string detail() const { return stepDetail_.empty() ? noteDetail_ : stepDetail_; }

    // Stores the record and writes its JSON; sets status to kExitStore and
    // says why when it cannot.
    void keep(results::Store &store, const std::string &where);

    // "RECORD-ID", "RECORD-ID (spooled)", "no record"...
    std::string storedText() const;
    // The unit's verdict as its record holds it (ERROR without a record).
    station::Verdict verdict() const { return opened ? rec.verdict : station::Verdict::Error; }

    // Ends this unit's waits, the tester's included (Stop on the operator
    // page); the process's token (Ctrl-C) ends them too.
    cancel::Token stop{&cancel::process()};

    // The unit's tester, when the run has a fixture (set before run()).
    std::unique_ptr<UnitTester> tester;

    results::Record rec;
    int status = station::kExitOk;
    size_t stepsRun = 0;
    double seconds = 0;
    bool opened = true, stored = false, spooled = false;

  private:
    void complain(const std::string &text);
    void passNotes();  // the link's messages to the board and the detail

    const Setup &setup_;
    const Plan &plan_;
    size_t index_;
    Board *board_;
    station::Verdict sofar_ = station::Verdict::Pass;
    bool failSeen_ = false;
    std::string stepDetail_, noteDetail_;
    double t0_ = 0;
    station::Options opt_;
    station::Link link_;
    station::Notes notes_, kept_;
    station::StepContext ctx_;
    std::unique_ptr<station::PlanRun> steps_;  // while the link is open
};

}  // namespace line
