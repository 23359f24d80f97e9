// Instrument control: SCPI over a raw TCP socket.
//
// A tester is named by a VISA-style resource string,
// "TCPIP::HOST[::PORT]::SOCKET" (port 5025 when left out).  Other forms
// (VXI-11 "::INSTR", HiSLIP, USB, GPIB) are refused with a message that
// says so.
//
// Every exchange has a deadline, the connect too.  A reply is read whole:
// one line, or an IEEE 488.2 definite-length block ("#NLLL" + L bytes),
// however many reads it takes.  A timeout, a closed connection or a reply
// that cannot be read closes the connection, so that a late reply is never
// taken for the answer to the next query; the next exchange connects again.
//
// Why our own layer and not the packaged one (liblxi 1.18, raw SCPI and
// VXI-11): lxi_receive copies a reply into the caller's buffer, returns
// what fit as if it were all, and leaves the rest in the stream.  Checked
// against the simulated tester: a 100 000-byte block read with a 64 KiB
// buffer came back as 65 536 bytes with no error, and the next query
// (*IDN?) got the block's remaining 34 473 bytes as its answer.  It cannot
// tell a definite-length block from a line, so no buffer size is safe, and
// concurrent calls need the caller's own lock.  Raw SCPI needs only a
// socket, a deadline and a reader of the two reply forms: this file.
//
// Thread-safe: each Instrument serialises its exchanges with a lock of its
// own; sequences that must not interleave (set-up, then measure) take it
// for their whole length through Instrument::Session.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "cancel/token.h"

namespace instrument {

struct Resource {
    std::string text;  // as given
    std::string host;
    uint16_t port = 5025;
};

// Parses "TCPIP::HOST[::PORT]::SOCKET" (case-insensitive keywords; also
// "TCPIP0::").  false with *err saying what is wrong.
bool parseResource(const std::string &text, Resource *out, std::string *err);

struct Timeouts {
    int connectMs = 2000;   // TCP connect
    int exchangeMs = 3000;  // one command, or one query and its whole reply
};

// What went wrong in an exchange, for callers that act on the kind.
enum class Fault {
    None,
    Usage,       // a bad resource, profile or argument: nothing was sent
    Connect,     // the tester cannot be reached (refused, unreachable, timed out)
    Timeout,     // no whole reply within the deadline
    Closed,      // the tester closed the connection, possibly mid-reply
    BadReply,    // garbage, a malformed block, a reply too long
    NotANumber,  // 9.91E37, or infinity, where a number was asked for
    Instrument,  // the tester's error queue held an error
    Cancelled,   // the session's token was raised (Stop, Ctrl-C): the
                 // connection is closed, which ends what the tester was doing
};

struct Error {
    Fault fault = Fault::None;
    std::string message;  // names the instrument and the command
};

// One entry of the error queue: "-113,\"Undefined header\"".
struct QueueEntry {
    int code = 0;
    std::string text;
};

// A reply as messages quote it: printable, at most 60 bytes ("..." after),
// other bytes as \xNN, in double quotes.
std::string quotedReply(const std::string &reply);

// Parses a SYST:ERR? reply strictly: an integer, a comma, a quoted string.
// The string's text is made printable UTF-8 (format::printableUtf8), at
// most kMaxTesterText bytes.
bool parseQueueEntry(const std::string &reply, QueueEntry *out);

// The longest identity or error-queue text kept from a tester.
constexpr size_t kMaxTesterText = 1024;

// Parses a numeric reply strictly: one decimal number, nothing else (blanks
// around it allowed).  SCPI's not-a-number 9.91E37 and the infinities
// +-9.9E37 are refused with *fault NotANumber, anything else unreadable
// with BadReply.
bool parseNumber(const std::string &reply, double *out, Fault *fault);

class Instrument {
  public:
    // role: how messages name it ("tester"); nothing is sent yet.
    Instrument(std::string role, Resource res, Timeouts t);
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Connects if not connected, asks *IDN? (kept in idn()) and empties the
    // error queue of whatever an earlier session left there.  Any failure
    // after the socket is open closes it again, so the next connect starts
    // over rather than trusting a connection whose queue was never emptied.
    bool connect(Error *err);
    void disconnect();
    bool connected() const { return fd_ >= 0; }

    // The last *IDN? answer of a connect ("maker,model,serial,firmware"),
    // as printable UTF-8.  A copy: other threads read it for their records
    // while one reconnects, and a reconnect keeps the old answer until the
    // new one is in.
    std::string idn() const;
    const Resource &resource() const { return res_; }
    // "tester TCPIP::h::5025::SOCKET (maker model)": how errors name it.
    std::string name() const;

    // Holds the instrument's lock for a sequence of exchanges.  stop, when
    // given, ends every wait of the session (its holder's token); an inner
    // session without one keeps the outer one's.
    class Session {
      public:
        explicit Session(Instrument &i, const cancel::Token *stop = nullptr)
            : i_(i), lock_(i.mu_), before_(i.stop_) {
            if (stop) i.stop_ = stop;
        }
        ~Session() { i_.stop_ = before_; }
        Session(const Session &) = delete;
        Session &operator=(const Session &) = delete;

      private:
        Instrument &i_;
        std::lock_guard<std::recursive_mutex> lock_;
        const cancel::Token *before_;
    };

    // Sends one command (no reply expected).
    bool write(const std::string &cmd, Error *err);
    // Sends one query and reads its whole reply (line without its end, or
    // a block's payload).  timeoutMs 0: the instrument's exchange timeout.
    bool query(const std::string &cmd, std::string *reply, Error *err, int timeoutMs = 0);
    // query, then parseNumber; NaN becomes an Error naming the command, with
    // the first error-queue entry when the tester gave one.
    bool queryNumber(const std::string &cmd, double *value, Error *err, int timeoutMs = 0);

    // Reads the error queue until it answers 0 (at most maxEntries reads).
    // Returns the entries read before it was empty; false when a read fails
    // or the queue does not empty (then *err says so).
    bool readErrors(std::vector<QueueEntry> *entries, Error *err);

    // write, then readErrors: an entry makes an Instrument error naming the
    // command and the tester's message.
    bool command(const std::string &cmd, Error *err);

    // The error query and how many entries to read at most (profile).
    void setErrorQuery(std::string q, int maxEntries) {
        errorQuery_ = std::move(q);
        maxErrors_ = maxEntries;
    }
    // Sent at connect, before the queue is read (profile's clear; "":
    // none): a stale queue deeper than max_errors never fails a connect.
    void setClearCommand(std::string c) { clear_ = std::move(c); }

  private:
    bool ensureConnected(Error *err);
    bool greet(Error *err);
    bool sendLine(const std::string &cmd, long long deadline, Error *err);
    bool readReply(const std::string &cmd, long long deadline, std::string *reply, Error *err);
    bool fill(const std::string &cmd, long long deadline, Error *err);
    bool noReply(const std::string &cmd, Error *err);
    bool fail(Fault f, const std::string &cmd, const std::string &what, Error *err);
    void dropBlockEnd();

    std::string role_;
    Resource res_;
    Timeouts t_;
    // Under idnMu_, not mu_: a unit holds mu_ for up to an hour-long query,
    // and reading the identity for a record must not wait for it.
    mutable std::mutex idnMu_;
    std::string idn_;
    std::string errorQuery_ = "SYST:ERR?";
    int maxErrors_ = 32;
    std::string clear_ = "*CLS";
    int fd_ = -1;
    std::string in_;         // bytes read past the last reply
    bool blockEnd_ = false;  // a block's line end may still come
    std::recursive_mutex mu_;
    const cancel::Token *stop_ = nullptr;  // the session holder's (under mu_)
};

// Longest reply accepted (a block or a line); longer is BadReply.
constexpr size_t kMaxReply = 16u << 20;

}  // namespace instrument
