// rfprobe station: one descriptor per sub-command.
//
// Every plan step (station/step/step.h) carries one: its word, its
// arguments with their types and ranges, whether a request may be
// repeated, how its reply reads, and its manual page; so do the
// sub-commands that are not steps (run, report...).  Argument parsing,
// help, request encoding, reply output and plans all read these
// descriptors; none of them knows a command by name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/testmsg.h"

namespace station {

// Argument limits.
constexpr int kMaxRateIndex = 48;          // the agent's rate table has 49 entries
constexpr int kMaxChain = 1;               // transmit chains 0 and 1
constexpr uint32_t kMaxPowerTenths = 1000; // 100.0 dBm
constexpr unsigned kMaxRetries = 10;
constexpr uint32_t kMaxWaitMs = 86400000;  // one day

// What running a sub-command does.
enum class ActionKind : uint8_t {
    Send,    // a wire command: one request, one reply (a step of station/steps/wire/)
    Listen,  // print every reply until interrupted
    Run,     // a test plan
    Sync,    // upload the records kept in the spool (results store)
    Report,  // yield, failures and measured values from the results store
    Archive, // old records out of the results store into a file (and restore)
    Step,    // a plan step of its own file (station/steps/): rx, sleep, tx-measure, pa-cal...
    Serve,   // the operator page: runs started from a browser
};

// How an argument's text becomes a value.  The wire fields (Field::Code
// ... Field::Chain), the limits and the command line's texts are converted
// here; a step's own arguments are typed (station/args/types.h, Field::Slot).
enum class Conv : uint8_t {
    Integer,      // decimal or 0x hex within lo..hi
    Bandwidth,    // 20, 40, 80 or 160 (MHz)
    Power,        // dBm with at most one decimal, sent in tenths
    Coefficient,  // signed 16-bit, or its 16-bit pattern in hex
    Seconds,      // up to 3 decimals, kept in milliseconds
    CodeOrWord,   // a request code 0..255 or a command word
    Path,         // a file name
    Limit,        // a finite decimal number, the end of a limit
    Range,        // LOW..HIGH, either end may be left out
    Flag,         // an option without a value
    Text,         // kept as written, for the records layer (command line only)
    Level,        // a level in dBm, -150..30, any decimals (the generator's)
    LevelList,    // levels in dBm: a list, or LO..HI with a step
    PowerList,    // set powers in dBm, comma-separated, at most one decimal each
    Decibels,     // a positive number of dB, any decimals
    Span,         // LO..HI, both ends (a range of set powers)
};

// Where the value goes: a field of the request, a limit, a text of the
// command line, or the step's own typed arguments (Slot).
enum class Field : uint8_t {
    Code, Byte, Value1, Value2, Value3, Chain, Path,
    Low, High,            // --min, --max: every value the step measures
    Pa1, Pa2, Pa3,        // one PA coefficient's limits
    StopOnFail,           // a missed limit stops the plan
    Text,                 // Action::texts
    Each,                 // LO..HI of the measured value number lo (StepLimits::each)
    EachMax,              // the upper limit alone of measured value number lo
    Slot,                 // the step's arguments, at byte `slot` (station/args/types.h)
};

struct ArgDef {
    const char *option;   // "--rate"; null for a positional argument
    const char *metavar;  // in synopses: "--rate I", "pa-read CHAIN"
    const char *what;     // in messages: "rate index 49 is out of range"
    Conv conv;
    Field field;
    bool required;
    long long lo = 0, hi = 0;          // Conv::Integer
    const char *help = nullptr;        // an option's line(s) on the manual page;
                                       // null: listed with the option before
    const char *missingName = nullptr; // "missing argument NAME" if not metavar
    // Options of one group show as "[GROUP]" in synopses and under a heading
    // GROUP of their own on the command's page (LIMITS, RECORD OPTIONS...).
    const char *group = nullptr;
    bool repeat = false;               // may be given more than once (Text only)
    uint16_t slot = 0;                 // Field::Slot: where in the step's arguments

    constexpr bool isLimit() const {
        return field == Field::Low || field == Field::High || field == Field::Pa1 ||
               field == Field::Pa2 || field == Field::Pa3 || field == Field::StopOnFail ||
               field == Field::Each || field == Field::EachMax;
    }
};

// A descriptor's arguments, in the order they are checked and shown.
constexpr size_t kMaxCommandArgs = 16;
struct ArgList {
    const ArgDef *items = nullptr;
    uint8_t count = 0;
    constexpr ArgList() = default;
    template <size_t N>
    constexpr ArgList(const ArgDef (&a)[N]) : items(a), count((uint8_t)N) {}
    constexpr const ArgDef *begin() const { return items; }
    constexpr const ArgDef *end() const { return items + count; }
};

// How a reply reads, in text and in JSON.
enum class ReplyView : uint8_t {
    Ok,            // "WORD: ok"
    ValueOne,      // ok, noting a value1 other than 1
    Count,         // value1 is a received count; JSON adds count, count_signed
    Coefficients,  // three PA coefficients; JSON adds pa
    Fields,        // every field of the reply (raw)
};

// What a command's reply measures: the values a limit may apply to.
enum class Measures : uint8_t {
    Nothing,
    Count,         // "count": the received count of stop-rx
    Coefficients,  // "pa1", "pa2", "pa3": the three PA coefficients of pa-read
    Step,          // what a step of its own file declares (station/step/step.h)
};

// Command flags.
enum : unsigned {
    kRetrySafe = 1u << 0,  // --retries accepted: repeating the request is harmless
    kPlanStep = 1u << 1,   // may be a step of a plan
    kNeedsStore = 1u << 2, // uses the results store: only the records layer runs it
    kOwnLimits = 1u << 3,  // a step with limits of its own: --stop-on-fail needs no option
    kNoAgent = 1u << 4,    // a step that talks to no agent (sleep): runs without a link
};

struct Options;
struct Action;
struct StepDef;
// Runs a parsed command; returns the tool's exit status.
using Handler = int (*)(const Options &opt, const Action &act);

// A step's own arguments: one trivially copyable struct of the types of
// station/args/types.h, made with its defaults before the words are read
// (argsBlock<T>(); Action::args<T>() reads it back).
struct ArgsBlock {
    uint16_t size = 0;
    void (*init)(void *at) = nullptr;
};

struct Command {
    const char *word;
    ActionKind kind;
    int code;              // the request's code; -1 when the arguments give it
    Handler run;           // null: set when the table is put together (steps), or
                           // only the records layer runs it (kNeedsStore)
    ArgList args;
    unsigned flags;
    ReplyView view;
    // Manual: the line in rfprobe --help (null: shares the line of the
    // command before), the NAME line, the description, an example.
    const char *listing;
    const char *title;
    const char *description;
    const char *example = nullptr;
    // The step's own typed arguments, and their check as a whole once read
    // (false with err); defaults beyond the struct's own (limits) first.
    ArgsBlock block{};
    bool (*check)(Action *a, char *err, size_t errLen) = nullptr;
    void (*defaults)(Action *a) = nullptr;
    // The plan step this command is (set when the table is put together,
    // see commands()); null for the sub-commands that are not steps.
    const StepDef *step = nullptr;

    constexpr bool retrySafe() const { return flags & kRetrySafe; }
    constexpr bool planStep() const { return flags & kPlanStep; }
    // A step that needs the fixture's tester (run --fixture).
    bool usesTester() const;
    // What the step measures: a wire command's reply as it reads, a step's
    // declarations.
    Measures measures() const;
};

// Every sub-command, in the order of the manual: the wire commands'
// steps, the steps of station/steps/, then the sub-commands of
// station/cli/commands.cpp (defined there, at the top: the words of a line
// are read against it).
const Command *commands(size_t *count);
const Command *findCommand(const char *word);
// The wire command of a request code, or nullptr when the code has none.
const Command *commandForCode(uint8_t code);
// The station's word for a code, or nullptr when the code has no command.
const char *commandWord(uint8_t code);

// The records layer (results store), where it is built, registers the
// handler of a command that needs the store (kNeedsStore), and of a command
// given record options (run --dut ...), at start-up.  Returns false for an
// unknown word.
bool registerRecordHandler(const char *word, Handler h);
// The registered handler, or null (a build without the results store).
Handler recordHandler(const Command &c);

}  // namespace station
