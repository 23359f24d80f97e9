// What a recorded run prints when its units are done: one line for a single
// unit (its JSON object with --json), the table of units for several; and
// the JUnit XML file of the records.
#pragma once

#include <memory>
#include <vector>

#include "line/unit.h"

namespace line {

using UnitRuns = std::vector<std::unique_ptr<UnitRun>>;

// "SN1: PASS (plan p.plan, 5 of 5 steps, 1.20 s; record ID in STORE)".
void printUnitLine(const station::Options &opt, const Setup &setup, const Plan &plan,
                   const UnitRun &u, const std::string &store);

// The table of units and verdicts, then "N of M units PASS; records in STORE".
void printUnitTable(const Setup &setup, const Plan &plan, const UnitRuns &runs,
                    const std::string &store);

// --junit: the records of the units that ran; a failure makes *status 5.
void writeJunit(const Setup &setup, const UnitRuns &runs, int *status);

}  // namespace line
