// rfprobe station: test plans.
//
// A plan holds one sub-command per line, written as on the command line
// without "rfprobe" and without station options; a word starting with #
// begins a comment.  The whole plan is read and checked before anything is
// sent.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "station/args/args.h"

namespace station {

constexpr size_t kMaxPlanLine = 512;

// What a plan read from standard input ('-') is called, in messages and in
// records alike.
constexpr const char *kStdinPlanName = "stdin";

struct PlanStep {
    int planLine;  // where it stands in the plan file, 1-based
    Action action;
    std::vector<std::string> args;  // the words after the command, as written
};

// Parses one plan line (modified in place: split into words).  Returns Ok
// with *isStep false for a blank or comment line.  args, when not null,
// gets the words after the command.
ParseResult parsePlanLine(char *line, bool *isStep, Action *act, char *err, size_t errLen,
                          std::vector<std::string> *args = nullptr);

// Reads and checks a whole plan.  On error, err holds "NAME:LINE: message".
bool loadPlan(FILE *in, const char *name, std::vector<PlanStep> *steps, char *err,
              size_t errLen);

}  // namespace station
