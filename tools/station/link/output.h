// rfprobe station: what the tool prints about requests and replies.
//
// A reply reads as the descriptor of its code says (ReplyView): one line of
// text, or one JSON object whose keys never change order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "proto/testmsg.h"
#include "station/args/args.h"

namespace station {

// The low 16 bits of a PA coefficient word, read as a signed number.
inline int16_t lowSigned16(uint32_t v) { return (int16_t)(uint16_t)(v & 0xFFFFu); }

// The 16-bit value of a short reply, as proto/testmsg.h reads it.
using ::replyHalf;

// One human-readable report of a reply.  Generic prints every field (raw,
// listen); otherwise the form depends on the command.  chain is the chain a
// pa-read asked for, or -1.
void formatReplyText(const TestMsg &r, bool generic, int chain, char *buf, size_t len);

// One JSON object (no newline).  Keys, always in this order:
// cmd, code, from, byte, value1, value2, value3, half; then "count" and
// "count_signed" for stop-rx, "pa" (the three signed 16-bit readings) for
// pa-read.  cmd is null for a code without a command; from may be null.
std::string formatReplyJson(const TestMsg &r, const char *from);

// Prints a reply on standard output, as text or JSON as opt says.
void printReply(const Options &opt, const TestMsg &r, const char *from, bool generic, int chain);

// The request bytes as -v shows them: "request to port 1060: 7f 52 ...".
constexpr size_t kRequestTextLen = 128;
void formatRequest(const TestMsg &req, char *buf, size_t len);

}  // namespace station
