// rfprobe station: the UDP sockets, and waiting for replies.
//
// Requests go to ADDR:1060 (broadcast by default).  The agent's replies
// are broadcasts from its fixed address, not from the address the request
// went to, so the listening socket is bound to 0.0.0.0:1062 and never
// connected.  Every wait ends early when SIGINT, SIGTERM or SIGHUP arrives.
//
// Thread-safe: each unit of a parallel run has its own Link, bound to its
// own interface; nothing here keeps state between calls.  Every wait ends
// when the link's cancellation token is raised (cancel/token.h).
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cancel/token.h"
#include "proto/testmsg.h"
#include "station/args/args.h"

namespace station {

enum class ReplyCheck {
    Match,      // magic and code as expected
    Truncated,  // shorter than a reply payload
    BadMagic,   // not a test reply
    OtherCode,  // a test reply, but to another command
};

// Decodes a UDP payload seen on the reply port.  *out is filled whenever the
// magic is right (also for OtherCode).  A negative expected code accepts any
// code (listening).
ReplyCheck checkReply(const uint8_t *buf, size_t len, int expectedCode, TestMsg *out);

// Where the messages of a link go (errors, and -v notes): by default to
// standard error as "rfprobe: TEXT".  A unit of a parallel run keeps them
// (one message a line, no newline) and shows them itself after each step:
// the station writes there and never calls up.
using Notes = std::vector<std::string>;

struct Link {
    int rxFd = -1;  // bound to 0.0.0.0:1062
    int txFd = -1;  // sends to ADDR:1060
    sockaddr_in to{};
    Notes *notes = nullptr;  // null: standard error; used by the link's thread only
    // Ends the link's waits: the unit's own token, else the process's.
    const cancel::Token *stop = &cancel::process();
};

// A message through the link's notes.
void say(const Link &l, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Opens both sockets as opt says (keeping l->notes); kExitOk or kExitSocket
// (with a message).
int openLink(const Options &opt, Link *l);
void closeLink(Link *l);

constexpr size_t kFromLen = 64;  // "ADDRESS:PORT"

// More about one exchange, for a step's record.
struct ExchangeInfo {
    bool evenIfInterrupted = false;  // in: wait for the reply after an interrupt
                                     // (stop-rx after an interrupted receive wait)
    unsigned attempts = 0;           // out: how often the request was sent
    char error[kErrLen] = "";        // out: the message when no reply came
};

// Sends req and waits opt.timeoutMs for the reply with its code; sends it
// again up to `retries` times after a timeout.  Returns kExitOk with *reply
// and from ("ADDRESS:PORT") filled, or kExitNoReply, kExitSocket,
// kExitInterrupted after saying why, naming `name`.
int exchange(const Link &l, const Options &opt, const char *name, const TestMsg &req,
             unsigned retries, TestMsg *reply, char from[kFromLen], ExchangeInfo *info = nullptr);

// Waits for the next test reply of any code; false when interrupted
// (*status kExitOk) or on a socket error (*status kExitSocket).
bool nextReply(const Link &l, const Options &opt, TestMsg *reply, char from[kFromLen],
               int *status);

// Sleeps ms milliseconds; false when stop was raised first.
bool waitMs(uint32_t ms, const cancel::Token *stop = &cancel::process());

// SIGINT, SIGTERM and SIGHUP raise the process's token (cancel::process())
// instead of ending the process, so that every wait of every unit ends and
// the runs keep their records.  A second such signal ends the process at
// once (status 128 + the signal), for a station stuck where no wait notices.
void catchInterrupts();
// Whether one of those signals came.
bool interruptedBySignal();

}  // namespace station
