// rfprobe station: the command line and its checks.
//
// Nothing is sent unless parseAction returns Ok, so every argument is
// range-checked here, as its command's descriptor says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/testmsg.h"
#include "station/command.h"
#include "station/limits.h"

namespace station {

// Exit statuses of the tool.
constexpr int kExitOk = 0;           // success; a step or plan with limits: PASS
constexpr int kExitFail = 1;         // a step or plan with limits: FAIL
constexpr int kExitUsage = 2;        // bad argument, bad plan line, unknown command
constexpr int kExitSocket = 3;       // a socket could not be opened, bound or used
constexpr int kExitNoReply = 4;      // no matching reply within the timeout
constexpr int kExitStore = 5;        // the results store cannot be opened, read or written
constexpr int kExitTester = 6;       // the tester failed, could not be reached or answered badly
constexpr int kExitInterrupted = 130;

constexpr size_t kErrLen = 256;
constexpr uint32_t kMaxTimeoutMs = 600000;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr size_t kMaxArgs = 16;

// The station options, which may come before or after the sub-command.
struct Options {
    char iface[16];            // empty: any interface
    char to[16];               // dotted IPv4 address
    uint32_t timeoutMs;
    bool json;
    bool verbose;
    bool quiet;                // print no replies (the units of a parallel run)
};

void defaultOptions(Options *opt);

// An option kept as text (Conv::Text), in command-line order.  value points
// into the argv given to parseAction.
struct TextArg {
    const ArgDef *arg;
    const char *value;
};
constexpr size_t kMaxTextArgs = 64;

// pa-cal's arguments (pacal/calibrate.h checks them as a whole).
constexpr unsigned kMaxCalPowers = 16;
struct CalArgs {
    double powers[kMaxCalPowers];  // dBm
    unsigned powerCount;
    bool powersGiven;              // --powers; else they follow the range
    double rangeLowDbm, rangeHighDbm;  // --range: where the error must hold
    double toleranceDb;
    int maxRounds;
};

// One sub-command with its arguments converted.
struct Action {
    const Command *cmd;  // null only on help for an unknown word
    TestMsg req;         // Send and Rx (the start-rx request)
    unsigned retries;    // Send: extra attempts after a timeout
    uint32_t waitMs;     // Rx and Sleep; tx-measure: the settle time
    char path[256];      // Run: plan file, "-" for standard input
    StepLimits limits;   // commands that measure something
    double levelDbm;     // rx-per: the generator's level at the unit's port
    long frames;         // rx-per: frames the generator sends
    CalArgs cal;         // pa-cal
    TextArg texts[kMaxTextArgs];
    unsigned textCount;

    // The value of a text option ("--store"), the last one given, or null.
    const char *text(const char *option) const;
};

enum class ParseResult { Ok, Help, Error };

// Parses global options that precede the sub-command.  Stops at the first
// word that is not an option; *next is its index.  "--help" alone gives Help.
ParseResult parseGlobalOptions(int argc, char *const *argv, int *next, Options *opt,
                               char *err, size_t errLen);

// Parses one sub-command and its arguments (argv[0] is the sub-command word).
// When opt is not null, global options are also accepted after the word;
// plan lines pass null.  On Help, act->cmd names the sub-command (or is null
// when the word is unknown).
ParseResult parseAction(int argc, char *const *argv, Options *opt, Action *act, char *err,
                        size_t errLen);

}  // namespace station
