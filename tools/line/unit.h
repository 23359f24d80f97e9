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
};

double monoSeconds();

// Writes text to path whole or not at all (format::writeOutput); false
// with the reason in why when it cannot.
bool writeFile(const std::string &path, const std::string &text, std::string *why);

// Follows one unit's run besides the board: its steps and its link's
// messages (the operator page).
class UnitWatch : public station::PlanObserver, public station::Notes {
  protected:
    ~UnitWatch() = default;
};

class UnitRun : public station::PlanObserver, public station::Notes {
  public:
    // board: null for a single unit, which prints as a plain run does.
    // Takes a new record id: may throw (no random source).
    UnitRun(const Setup &setup, const Plan &plan, size_t index, Board *board);

    // Runs the plan on its own link; the record is complete afterwards.
    void run(const station::Options &opt);

    void stepStarting(size_t index, const station::PlanStep &s) override;
    void stepDone(size_t index, const station::PlanStep &s, const station::StepResult &r) override;
    void note(const char *text) override;

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

    UnitWatch *watch = nullptr;  // set before run()
    results::Record rec;
    int status = station::kExitOk;
    size_t stepsRun = 0;
    double seconds = 0;
    bool opened = true, stored = false, spooled = false;

  private:
    void complain(const std::string &text);

    const Setup &setup_;
    const Plan &plan_;
    size_t index_;
    Board *board_;
    std::string stepStartUtc_;
    double stepStart_ = 0;
    station::Verdict sofar_ = station::Verdict::Pass;
    bool failSeen_ = false;
    std::string stepDetail_, noteDetail_;
};

}  // namespace line
