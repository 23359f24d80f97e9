// rfprobe station: the command line and its checks.
//
// Nothing is sent unless parseAction returns Ok, so every argument is
// range-checked here, as its command's descriptor says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/testmsg.h"
#include "station/command.h"

namespace station {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;        // bad argument, bad plan line, unknown command
constexpr int kExitSocket = 3;       // a socket could not be opened, bound or used
constexpr int kExitNoReply = 4;      // no matching reply within the timeout
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
};

void defaultOptions(Options *opt);

// One sub-command with its arguments converted.
struct Action {
    const Command *cmd;  // null only on help for an unknown word
    TestMsg req;         // Send and Rx (the start-rx request)
    unsigned retries;    // Send: extra attempts after a timeout
    uint32_t waitMs;     // Rx and Sleep
    char path[256];      // Run: plan file, "-" for standard input
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
