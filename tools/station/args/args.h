// rfprobe station: the command line and its checks.
//
// Nothing is sent unless parseAction returns Ok, so every argument is
// range-checked here, as its command's descriptor says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "proto/testmsg.h"
#include "station/args/command.h"
#include "station/args/status.h"
#include "station/args/limits.h"
#include "station/args/types.h"

namespace station {

constexpr size_t kErrLen = 256;
constexpr uint32_t kMaxTimeoutMs = 600000;
constexpr uint32_t kDefaultTimeoutMs = 2000;
// Words of one plan line, its command first: rx-sweep with every option
// it has takes 19.
constexpr size_t kMaxArgs = 24;

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

// One sub-command with its arguments converted: what every command has
// (its request, limits, texts) and the step's own arguments, typed
// (station/args/types.h), which its run reads with args<T>().
struct Action {
    const Command *cmd;  // null only on help for an unknown word
    TestMsg req;         // a wire command's request; a step that sends start-rx: that one
    unsigned retries;    // Send: extra attempts after a timeout
    char path[256];      // Run: plan file, "-" for standard input
    StepLimits limits;   // commands that measure something
    TextArg texts[kMaxTextArgs];
    unsigned textCount;
    alignas(8) unsigned char stepArgs[kMaxStepArgBytes];  // cmd->block: the step's struct

    // The value of a text option ("--store"), the last one given, or null.
    const char *text(const char *option) const;
    // The step's own arguments: T must be the struct its Command's block
    // was made from (argsBlock<T>()).
    template <class T>
    const T &args() const {
        return *std::launder(reinterpret_cast<const T *>(stepArgs));
    }
    template <class T>
    T &args() {
        return *std::launder(reinterpret_cast<T *>(stepArgs));
    }
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
