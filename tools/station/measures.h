// The measurements the station records, as people read them: each name's
// unit, resolution and kind, and the one text a figure is shown with on the
// screen, the line's board, the operator page and the reports.  What is
// stored and exported (JSON, CSV, the store) keeps every digit; only what
// a person reads is rounded, and always the same way.
//
// Plain C++ on the format writers alone, so that the station (also in a
// cross build for the router), the results library and the report take the
// same table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace station {

enum class MeasureKind {
    Limited,      // a figure a limit may apply to: power, evm, count, pa1 ...
    Flag,         // a check that holds (1) or not (0): determined, monotonic ...
    Bookkeeping,  // what the figures rest on: rounds, codes, path_loss, tester_wait_ms ...
};

struct MeasureInfo {
    const char *unit;  // "dBm", "dB", "ppm", "%", "ms", or "" for counts and flags
    int decimals;      // the resolution as decimals: 2 is 0.01, 0 is 1
    MeasureKind kind;
    bool known;        // false: a name this station does not declare (an older record)
};

// A declared measurement.  name may hold one placeholder, "<k>" (a point's
// number: digits) or "<dBm>" (a power: a number), as in "pa<k>_before" or
// "verify_error_<dBm>".
struct MeasureDecl {
    const char *name;
    const char *unit;  // "dBm", "dB", "ppm", "%", "ms", or "" for counts and flags
    int decimals;      // the resolution as decimals: 2 is 0.01, 0 is 1
    MeasureKind kind;
};

// Each plan step of station/steps/ declares its own measurements; the
// station hands them over here at start-up, before anything is shown.
// The lists must live as long as the program.
void declareStepMeasures(const char *command, const MeasureDecl *decls, size_t count);

// The declaration of a recorded name: a step's (the step named by command
// first, when given), else the table of the commands that are one request
// and of what every tester step records.  Patterned names match by their
// pattern.  An unknown name has no unit, up to 3 decimals and is
// Bookkeeping.
MeasureInfo measureInfo(std::string_view name, std::string_view command = {});

// 10^-decimals: 0.01 for power.
double measureResolution(const MeasureInfo &m);

// v rounded to the name's resolution (half away from zero, on the decimal
// text v reads as, so 7.845 shows 7.85), without the unit: "7.84",
// "-36.9", "1052".  An unknown name drops trailing zeros ("0.25", "3").
// extraDecimals shows that many digits more (a mean, a spread).  Not a
// number or infinite: "nan", "inf", "-inf".
std::string measureNumber(std::string_view name, double v, int extraDecimals = 0);

// The same with the unit: "power 7.84 dBm" is name + " " + this.
std::string measureText(std::string_view name, double v, int extraDecimals = 0);

// text followed by the name's unit, if it has one: a limit as the plan
// gave it, "21" -> "21 dBm".
std::string withUnit(std::string_view name, const std::string &text);

}  // namespace station
