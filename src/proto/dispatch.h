// Request frames: recognising a test frame, logging its code, running the
// command's entry and sending the reply the entry asks for.
//
// The dispatcher knows no handler: the command table it reads is built from
// the rows of proto/testmsg.h where the handlers are visible (the agent's
// app/commands.cpp), and handed to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "proto/testmsg.h"

// What a command's entry answers.  The dispatcher hands it zeroed, with the
// request's code in msg.cmdType; the entry says whether the station gets a
// reply, fills in the reply's values (read as the row's reply form says) and
// names what must wait until the reply is out.
struct CmdAnswer {
    bool reply;                // false: the station hears nothing
    TestMsg msg;               // the reply's values
    void (*afterReply)(void);  // runs once the reply is out, or null
    bool endServing;           // after the reply, the capture loop ends
};

// One command: the captured bytes its request needs, its reply form and its
// entry, which turns the request's fields into its handler's arguments and
// the handler's result into the answer.
struct CmdEntry {
    size_t need;
    ReplyForm form;
    void (*run)(const TestMsg &req, CmdAnswer *answer);
};

// Codes 0x80..0x9C; an entry without run is a code without a command.
using CmdTable = std::array<CmdEntry, kCmdTableSize>;

// Handles one captured frame of caplen bytes with the commands of the table.
// Nothing beyond caplen is read, nor beyond the end of a UDP datagram
// that the NIC padded: a frame too short for the fields its command reads is
// dropped silently, as one with a wrong magic is.  Returns
// false when the command ends serving (after its reply), true otherwise.
bool handleTestFrame(const CmdTable &commands, const uint8_t *frame, size_t caplen);
