// rfprobe station: the socket-free part of the command-line tool.
//
// Request encoding, reply decoding, argument parsing with range checks, test
// plan parsing and reply formatting.  Everything here works on plain buffers
// so that it can be unit-tested without a network; the sockets live in
// tools/rfprobe.cpp.  The frame layout and the command codes come from
// proto/testmsg.h, the same header the agent builds with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "proto/testmsg.h"

namespace station {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;        // bad argument, bad plan line, unknown command
constexpr int kExitSocket = 3;       // a socket could not be opened, bound or used
constexpr int kExitNoReply = 4;      // no matching reply within the timeout
constexpr int kExitInterrupted = 130;

constexpr size_t kErrLen = 256;

// Argument limits.
constexpr int kMaxRateIndex = 48;          // the agent's rate table has 49 entries
constexpr int kMaxChain = 1;               // transmit chains 0 and 1
constexpr uint32_t kMaxPowerTenths = 1000; // 100.0 dBm
constexpr uint32_t kMaxTimeoutMs = 600000;
constexpr uint32_t kDefaultTimeoutMs = 2000;
constexpr unsigned kMaxRetries = 10;
constexpr uint32_t kMaxWaitMs = 86400000;  // one day
constexpr size_t kMaxPlanLine = 512;
constexpr size_t kMaxArgs = 16;

// ---- command table -------------------------------------------------------

struct CmdInfo {
    uint8_t code;
    const char *word;
};

const CmdInfo *commandTable(size_t *count);
const CmdInfo *findCommandByWord(const char *word);
const CmdInfo *findCommandByCode(uint8_t code);
// The station's word for a code, or nullptr when the code has no command.
const char *commandWord(uint8_t code);
// Commands whose request may be sent again without harm (--retries).
bool isRetrySafe(uint8_t code);

// ---- frames --------------------------------------------------------------

struct Request {
    uint8_t code;
    uint8_t byteArg;
    uint32_t value1;
    uint32_t value2;
    uint32_t value3;
    uint8_t chain;
};

// Writes the kReqPayloadLen-byte UDP payload of a request.
void encodeRequest(const Request &req, uint8_t out[kReqPayloadLen]);

struct Reply {
    uint8_t code;
    uint8_t byteArg;
    uint32_t value1;
    uint32_t value2;  // the parameter reply's second value
    uint32_t value3;
    uint16_t half;    // the short reply's 16-bit value (upper half of value2)
};

enum class ReplyCheck {
    Match,      // magic and code as expected
    Truncated,  // shorter than a reply payload
    BadMagic,   // not a test reply
    OtherCode,  // a test reply, but to another command
};

// Decodes a UDP payload seen on the reply port.  *out is filled whenever the
// magic is right (also for OtherCode).  A negative expected code accepts any
// code (listening).
ReplyCheck checkReply(const uint8_t *buf, size_t len, int expectedCode, Reply *out);

// The low 16 bits of a PA coefficient word, read as a signed number.
inline int16_t lowSigned16(uint32_t v) { return (int16_t)(uint16_t)(v & 0xFFFFu); }

// ---- options and actions -------------------------------------------------

struct Options {
    char iface[16];            // empty: any interface
    char to[16];               // dotted IPv4 address
    uint32_t timeoutMs;
    bool json;
    bool verbose;
};

void defaultOptions(Options *opt);

enum class ActionKind {
    Send,    // one request, one reply
    Rx,      // start-rx, wait, stop-rx
    Sleep,   // wait only
    Listen,  // print every reply until interrupted
    Run,     // a test plan
};

struct Action {
    ActionKind kind;
    const char *word;    // sub-command word (static storage)
    Request req;         // Send and Rx (the start-rx request)
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
// plan lines pass null.  On Help, act->word names the sub-command (or is null
// when the word is unknown).  Nothing is sent by the caller unless this
// returns Ok, so every argument is range-checked here.
ParseResult parseAction(int argc, char *const *argv, Options *opt, Action *act, char *err,
                        size_t errLen);

// ---- test plans ----------------------------------------------------------

struct PlanStep {
    int line;
    Action action;
};

// Parses one plan line (modified in place: split into words).  Returns Ok
// with *isStep false for a blank or comment line.
ParseResult parsePlanLine(char *line, bool *isStep, Action *act, char *err, size_t errLen);

// Reads and checks a whole plan before anything is sent.  On error, err holds
// "NAME:LINE: message".
bool loadPlan(FILE *in, const char *name, std::vector<PlanStep> *steps, char *err,
              size_t errLen);

// ---- output --------------------------------------------------------------

// One human-readable report of a reply.  Generic prints every field (raw,
// listen); otherwise the form depends on the command.  chain is the chain a
// pa-read asked for, or -1.
void formatReplyText(const Reply &r, bool generic, int chain, char *buf, size_t len);

// One JSON object (no newline).  Keys, always in this order:
// cmd, code, from, byte, value1, value2, value3, half; then "count" and
// "count_signed" for stop-rx, "pa" (the three signed 16-bit readings) for
// pa-read.  cmd is null for a code without a command; from may be null.
void formatReplyJson(const Reply &r, const char *from, char *buf, size_t len);

// ---- help ----------------------------------------------------------------

const char *mainHelp();
// The manual page of a sub-command, or nullptr for an unknown word.
const char *commandHelp(const char *word);

}  // namespace station
