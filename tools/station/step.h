// rfprobe station: a plan step as one piece.
//
// A step that is more than one request (tx-measure, rx-per, pa-cal,
// tx-sweep) lives in one file of station/steps/: its word, arguments and
// manual page (a Command), the measurements it declares (name, unit,
// resolution, kind), what it needs earlier in the plan, and one run
// function.  The file defines its descriptor with RFPROBE_STEP(file name);
// the build lists every file of station/steps/ and nothing else names the
// step: argument parsing, the manual, the plan check, the runner, the
// record and the reports read the descriptor.
//
//   RFPROBE_STEP(tx_sweep) = {{"tx-sweep", ActionKind::Step, ...}, kMeasures, ...};
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "station/command.h"
#include "station/limits.h"
#include "station/measures.h"
#include "station/tester_step.h"

namespace station {

struct Link;
struct Options;
struct Action;
struct StepResult;
struct Exchanged;

// What a step needs earlier in the plan; the plan check refuses a plan
// without it before anything is sent.
enum : unsigned {
    kNeedsChannel = 1u << 0,  // a set-channel
    kNeedsTx = 1u << 1,       // a set-tx after a set-channel
    kNeedsTester = 1u << 2,   // the fixture's tester (run --fixture)
    kOwnLimits = 1u << 3,     // has limits of its own: --stop-on-fail needs no option
    kGeneratorRate = 1u << 4, // its --rate reaches the tester's generator ({rate}): the
                              // profile must be able to send it (checked at start)
    kNeedsGolden = 1u << 5,   // measures the golden unit against its reference (--reference
                              // FILE, the action's path): the line reads the file, checks the
                              // unit's serial against it and records the run as kind "golden"
};

// One value a step records beyond its line on the screen (every point of a
// calibration or a sweep), checked against its limits by the step: the
// same type as the screen's figures.
using RecordedValue = Measured;

// A table a step records of its points (pa-cal's calibration points,
// tx-sweep's set powers), declared in the step's file as its measurements
// are: its name and its columns, each a name and a unit ("" for codes,
// counts and flags).  The record keeps one row per point.
//
//   constexpr SeriesColumnDecl kPointColumns[] = {{"set_power", "dBm"}, ...};
//   constexpr SeriesDecl kPoints = {"points", kPointColumns, 4};
struct SeriesColumnDecl {
    const char *name;
    const char *unit;
};

struct SeriesDecl {
    const char *name;
    const SeriesColumnDecl *columns;
    uint8_t columnCount;
};

template <size_t N>
constexpr SeriesDecl seriesDecl(const char *name, const SeriesColumnDecl (&columns)[N]) {
    return {name, columns, (uint8_t)N};
}

// A declared series' rows, as the step recorded them.
struct RecordedSeries {
    const SeriesDecl *decl;
    std::vector<std::vector<double>> rows;  // each columnCount wide
};

// What a step with many requests and values keeps for the record: every
// request and reply, every value, and its series.  Owned by the unit's
// StepContext.
struct StepDetail {
    std::vector<Exchanged> exchanges;
    std::vector<RecordedValue> values;
    std::vector<RecordedSeries> series;  // in the order of their first row
    // value checked against limit, added and returned
    const Measured &add(const std::string &name, double value, const Limit &limit = {false, false, 0, 0});
    // One row of the declared series (decl must live as long as the
    // program); a row that is not decl.columnCount wide is a programming
    // error and throws std::logic_error.
    void addRow(const SeriesDecl &decl, std::vector<double> row);
};

struct StepDef;

// A step's run: the unit's link to the agent, the radio's state and the
// tester plug (StepContext), the cancellation token (link.stop), and the
// recorder (StepResult, its detail).  The run sets out.status (kExitOk, or
// the error's status with out.error) and what it measured; the runner
// applies the verdict.
struct StepRun {
    const StepDef &def;
    const Link &link;
    const Options &opt;
    const Action &act;
    StepContext &unit;
    StepResult &out;

    // Declared measurement k against the step's limits for it (--min,
    // --max, or the option whose Field::Each names k), into the screen's
    // summary.
    void measured(unsigned k, double value);
    // The step's detail for the record, made on first use.
    StepDetail &detail();
    // Sends one request of the step; kept in the detail when there is one,
    // else in the result (at most two).  evenIfInterrupted: a stop that
    // must go out.  Returns kExitOk or the exchange's status, with
    // out.error set.
    int send(const TestMsg &req, bool evenIfInterrupted = false);
    // The error of a step: sets out.status and out.error ("WORD: why").
    void fail(int status, const std::string &why);
};

struct StepDef {
    Command cmd;                  // kind ActionKind::Step; cmd.run refuses it outside plans
    const MeasureDecl *measures;  // the screen's summary first, in the order limits index them
    uint8_t measureCount;
    unsigned needs;
    void (*run)(StepRun &s);
    // Checks the arguments as a whole once they are read; false with err.
    bool (*check)(Action *a, char *err, size_t errLen) = nullptr;
    // Fills the defaults before the arguments are read.
    void (*defaults)(Action *a) = nullptr;
};

// Never defined: what measureIndex calls for a name that is not declared.
long long measureNotDeclared();

// The index of a declared measurement by name, for an argument's limit
// (Field::Each, lo): the build fails when the name is not declared.
template <size_t N>
constexpr long long measureIndex(const MeasureDecl (&m)[N], const char *name) {
    for (size_t k = 0; k < N; ++k) {
        const char *a = m[k].name, *b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return (long long)k;
    }
    return measureNotDeclared();  // not constexpr: a name not declared stops the build
}

#define RFPROBE_STEP(id)                                   \
    extern const ::station::StepDef rfprobeStep_##id;      \
    const ::station::StepDef rfprobeStep_##id

// Every step of station/steps/, in file-name order.
const StepDef *const *registeredSteps(size_t *count);


}  // namespace station
