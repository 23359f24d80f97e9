// The live board of a run of several units: one row per unit, showing its
// step and verdict so far.  Every unit's output, its errors included, goes
// through here, so that no thread writes into another's row.
//
// On a terminal the rows are redrawn in place and cut to the terminal's
// width (a row that wrapped would break the redrawing); messages are
// written above the rows, which are then drawn again below them.  Output
// that is not a terminal gets plain lines: one per finished step and per
// unit that finished, and each message on standard error.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "line/line.h"

namespace line {

class Board {
  public:
    // live: redraw the rows in place (standard output is a terminal).
    Board(const std::vector<Unit> &units, size_t steps, bool live);

    void stepStarting(size_t u, size_t index, const station::PlanStep &s,
                      station::Verdict sofar);
    void stepDone(size_t u, const station::PlanStep &s, const station::StepResult &r);
    // A message of unit u's link: "rfprobe: IF SERIAL: TEXT".
    void note(size_t u, const std::string &text);
    // A whole line for standard error, e.g. a record that was not stored.
    void message(const std::string &line);
    void finished(size_t u, const std::string &text);

  private:
    // "IF    SERIAL": the head of unit u's row, padded to the widest.
    std::string head(size_t u) const;
    std::string row(size_t u) const { return head(u) + "  " + lines_[u]; }
    void plain(size_t u, const std::string &text);
    void set(size_t u, const std::string &text);
    void draw(bool rewind);  // with mu_ held

    const std::vector<Unit> &units_;
    std::vector<std::string> lines_;
    size_t steps_;
    bool live_;
    size_t ifWidth_ = 4, snWidth_ = 6;
    std::mutex mu_;
};

}  // namespace line
