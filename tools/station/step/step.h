// rfprobe station: a plan step as one piece.
//
// Every plan line is a step: a wire command (station/steps/wire/, one row
// per request code of proto/testmsg.h) or a file of station/steps/ (rx,
// sleep, tx-measure, rx-per, rx-sweep, pa-cal...).  A step declares its
// word, typed arguments and manual page (a Command), the measurements it
// records (name, unit, resolution, kind), the series of points it records
// (station/series.h), what it needs earlier in the plan, what it does to
// the unit's radio (channel, bandwidth, antenna, transmitter), and one run
// function.  A step's file defines its descriptor with RFPROBE_STEP(file
// name); the build lists every file of station/steps/, takes the step's
// word from the file's name (rx_sweep.cpp: rx-sweep) and stops on two
// steps, or a step and a sub-command, of one word.  Nothing else names a
// step: argument parsing, the manual, the plan check, the runner, the
// record and the reports read the descriptor.
//
//   RFPROBE_STEP(rx_sweep) = {{nullptr, ActionKind::Step, ...}, kMeasures, ...};
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plug/tester.h"
#include "station/args/args.h"
#include "station/args/limits.h"
#include "station/link/transport.h"
#include "station/measures.h"
#include "station/series.h"

namespace station {

// What a step needs earlier in the plan; the plan check refuses a plan
// without it before anything is sent (it follows the radio through every
// step's effect).
enum : unsigned {
    kNeedsChannel = 1u << 0,  // a set-channel
    kNeedsTx = 1u << 1,       // a set-tx after a set-channel
    kNeedsTester = 1u << 2,   // the fixture's tester (run --fixture)
    kGeneratorRate = 1u << 4, // its --rate (the start-rx request's) reaches the tester's
                              // generator ({rate}): the profile must be able to send it
    kNeedsGolden = 1u << 5,   // measures the golden unit against its reference (--reference
                              // FILE, the action's path): the line reads the file, checks the
                              // unit's serial against it and records the run as kind "golden"
};

// One request of a step and what came back.
struct Exchanged {
    TestMsg req;
    bool replied;
    TestMsg reply;
    char from[kFromLen];  // "ADDRESS:PORT" of the reply
    unsigned attempts;    // sends, retries included
};

struct StepDetail;

// What one step did: enough to print its verdict and to record it.
struct StepResult {
    int status;               // kExitOk, or kExitSocket, kExitNoReply, kExitInterrupted
    Verdict verdict;          // Error whenever status is not kExitOk
    Exchanged exchanges[2];   // rx: start-rx, then stop-rx; sleep: none
    unsigned exchangeCount;
    Measured measured[kMaxMeasured];
    unsigned measuredCount;   // what the reply measures, limits or not
    char error[kErrLen];      // why the step is ERROR
    // Tester steps: the tester was held (turn taken), the path loss it
    // applied (dB), how long the unit waited for it and how long it held
    // it (ms).
    bool tester;
    double lossDb;
    double testerWaitMs;
    double testerHeldMs;
    // A step with many requests and values (pa-cal, tx-sweep): everything
    // it did, for the record (owned by the StepContext; null for others).
    const StepDetail *detail;
};

// The unit's radio as the plan has set it so far.  The plan check follows
// it through the steps' effects as written, the runner through the steps
// that got their reply.
struct RadioState {
    int channel = -1;              // the last set-channel
    int antenna = -1;              // the last set-antenna
    // The last set-tx, with the channel it applied.
    bool txSet = false;
    int txChannel = 0, txBwMhz = 20, txRate = 0;
    double txPowerDbm = 0;
    bool transmitting = false;     // the packet engine runs (start-tx, start-cyc-tx)
};

// A golden unit's reference: what the unit really sends and how well it
// really receives, measured once on a trusted bench (its file:
// docs/tester.md, "The golden unit"; the line reads it).  Figures at the
// unit's antenna port.
struct GoldenPoint {
    double setDbm;     // the set-tx power
    double outputDbm;  // what the unit sends at it
};
struct GoldenChannel {
    int channel = 0, bwMhz = 20;
    int rate = 0;                 // the rate of the sensitivity and the reference's set-tx
    double sensitivityDbm = 0;    // the level at which 10 % of the frames are lost
    std::vector<GoldenPoint> chains[2];  // per chain; an empty chain is not measured
    int line = 0;                 // where the file gives it, for messages
};
struct GoldenReference {
    std::string path;    // the file, for messages
    std::string serial;  // the golden unit's
    std::string source;  // where the figures came from
    std::vector<GoldenChannel> channels;
    const GoldenChannel *find(int channel) const {
        for (const GoldenChannel &c : channels)
            if (c.channel == channel) return &c;
        return nullptr;
    }
};

// The tester plug (plug/tester.h), as the steps call it.
using TxReading = plug::TxReading;
using StepTester = plug::Tester;

// What the steps of one unit's plan run share: the radio's settings as
// the plan has made them so far, and the unit's tester.
struct StepContext : RadioState {
    StepTester *tester = nullptr;  // null: no fixture (tester steps ERROR)
    bool testerUsed = false;       // a tester step ran (the record names the tester)
    // The golden unit's reference for a step that needs it (kNeedsGolden),
    // read and checked by the line before anything is sent.
    const GoldenReference *golden = nullptr;
    std::shared_ptr<StepDetail> detail;  // the running step's detail (StepResult::detail)
};

// One value a step records beyond its line on the screen (every point of a
// calibration or a sweep), checked against its limits by the step: the
// same type as the screen's figures.
using RecordedValue = Measured;

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
// applies the verdict and, when it got its replies, its effect.
struct StepRun {
    const StepDef &def;
    const Link &link;
    const Options &opt;
    const Action &act;
    StepContext &unit;
    StepResult &out;

    // The step's own arguments (station/args/types.h).
    template <class T>
    const T &args() const {
        return act.args<T>();
    }
    // Declared measurement k against the step's limits for it (--min,
    // --max, or the option whose Field::Each names k), into the screen's
    // summary.
    void measured(unsigned k, double value);
    // The step's detail for the record, made on first use.
    StepDetail &detail();
    // Sends one request of the step; kept in the detail when there is one,
    // else in the result (at most two) and printed.  evenIfInterrupted: a
    // stop that must go out.  Returns kExitOk or the exchange's status,
    // with out.error set.
    int send(const TestMsg &req, bool evenIfInterrupted = false);
    // The error of a step: sets out.status and out.error ("WORD: why").
    void fail(int status, const std::string &why);
};

struct StepDef {
    Command cmd;                  // its word is the file's (set when the table is put together)
    const MeasureDecl *measures;  // the screen's summary first, in the order limits index them
    uint8_t measureCount;
    unsigned needs;
    void (*run)(StepRun &s);
    // What it does to the unit's radio once it got its replies (null:
    // nothing): the plan check and the runner both follow it.
    void (*effect)(const Action &a, RadioState &r) = nullptr;
    // The series it records (station/series.h).
    const SeriesDecl *const *series = nullptr;
    uint8_t seriesCount = 0;
    // How the report shows the error its series measures (series.h).
    const ErrorView *errorView = nullptr;
};

// Never defined: what measureIndex and limitIndex call for a name that is
// not declared, or a limit on a measurement beyond the screen's summary.
long long measureNotDeclared();
long long limitBeyondSummary();

// The index of a declared measurement by name: the build fails when the
// name is not declared.
template <size_t N>
constexpr long long measureIndex(const MeasureDecl (&m)[N], const char *name) {
    for (size_t k = 0; k < N; ++k) {
        const char *a = m[k].name, *b = name;
        while (*a && *a == *b) ++a, ++b;
        if (*a == *b) return (long long)k;
    }
    return measureNotDeclared();  // not constexpr: a name not declared stops the build
}

// The same for a limit's option (Field::Each, Field::EachMax: lo): the
// build also fails when the measurement is not among the first
// kMaxMeasured, the screen's summary that limits index.
template <size_t N>
constexpr long long limitIndex(const MeasureDecl (&m)[N], const char *name) {
    return measureIndex(m, name) < kMaxMeasured ? measureIndex(m, name) : limitBeyondSummary();
}

// The series list of a step, for StepDef::series.
template <size_t N>
constexpr uint8_t seriesCount(const SeriesDecl *const (&)[N]) {
    return (uint8_t)N;
}

#define RFPROBE_STEP(id)                                   \
    extern const ::station::StepDef rfprobeStep_##id;      \
    const ::station::StepDef rfprobeStep_##id

// One step's descriptor and its word (the file's name, '_' as '-').
struct RegisteredStep {
    const StepDef *def;
    const char *word;
};

// Every step: the wire commands' (station/steps/wire/), then the files of
// station/steps/ in file-name order.
const RegisteredStep *registeredSteps(size_t *count);

// Sends one request of a step, keeps it and its reply in r (at most two
// per step) and prints the reply unless opt.quiet; `retries` more
// attempts after a timeout; generic: every field of the reply; messages
// name the request `name` (null: its code's command).  evenIfInterrupted:
// wait for the reply after an interrupt (a stop that must go out).
int sendStepRequest(const Link &l, const Options &opt, const TestMsg &req, StepResult *r,
                    bool evenIfInterrupted = false, unsigned retries = 0, bool generic = false,
                    const char *name = nullptr);

}  // namespace station
