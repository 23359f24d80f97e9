// rfprobe station: the manual printed by --help.
//
// The pages are put together from the descriptors: synopses from their
// arguments, option lines from the arguments' help, the note on repeating a
// request from the retry-safe column.  Only the prose is written here.
#include "station/help.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "station/command.h"

namespace station {

namespace {

const char kMainHead[] =
    "NAME\n"
    "    rfprobe - drive the router's RF test agent from a test station\n"
    "\n"
    "SYNOPSIS\n"
    "    rfprobe [OPTIONS] COMMAND [ARGUMENTS] [OPTIONS]\n"
    "    rfprobe COMMAND --help\n"
    "\n"
    "DESCRIPTION\n"
    "    Sends one test request to UDP port 1060 of the router (broadcast by\n"
    "    default) and waits for the agent's broadcast reply on UDP port 1062,\n"
    "    matched by magic and command code. Only replies that arrive after the\n"
    "    request was sent count. Every argument is range-checked before anything\n"
    "    is sent. Requests are never repeated unless --retries is given, and\n"
    "    --retries is accepted only where a repeat is harmless.\n"
    "\n"
    "COMMANDS\n";

const char kMainTail[] =
    "\n"
    "OPTIONS\n"
    "    --iface IF     send and listen on interface IF only (needs root or\n"
    "                   CAP_NET_RAW); use it on a PC with more than one network\n"
    "    --to ADDR      send the request to this IPv4 address instead of\n"
    "                   255.255.255.255\n"
    "    --timeout MS   wait at most MS milliseconds for each reply (1..600000,\n"
    "                   default 2000)\n"
    "    --json         print one JSON object per reply on standard output\n"
    "    -v, --verbose  show the request bytes and every packet ignored\n"
    "    -h, --help     show this page, or a command's page after COMMAND\n"
    "\n"
    "    Numbers are decimal, or hexadecimal with 0x.\n"
    "\n"
    "OUTPUT\n"
    "    One line per reply (three more for pa-read) on standard output;\n"
    "    errors and -v notes on standard error. With --json each reply is one\n"
    "    line holding an object with the keys, in this order:\n"
    "      cmd     the command word, or null for a code without a command\n"
    "      code    the command code, decimal\n"
    "      from    the sender, \"ADDRESS:PORT\"\n"
    "      byte    the reply's byte argument\n"
    "      value1, value2, value3\n"
    "              the three 32-bit words of the reply, unsigned\n"
    "      half    the 16-bit value of a short reply (upper half of value2)\n"
    "    and, for stop-rx, count (unsigned) and count_signed (the same 32 bits\n"
    "    as a signed number); for pa-read, pa: the three coefficients as\n"
    "    signed 16-bit numbers.\n"
    "\n"
    "EXIT STATUS\n"
    "    0    success\n"
    "    2    bad argument, bad plan line or unknown command; nothing was sent\n"
    "    3    socket error (cannot open, bind or send)\n"
    "    4    no reply within the timeout\n"
    "    130  interrupted\n"
    "\n"
    "EXAMPLES\n"
    "    rfprobe --iface eth1 enter-test-mode\n"
    "    rfprobe --iface eth1 set-channel 6\n"
    "    rfprobe --iface eth1 set-tx --rate 0 --bw 20 --power 17.5\n"
    "    rfprobe --iface eth1 --json pa-read 0\n"
    "    rfprobe --iface eth1 run line3.plan\n";

const char kRetriesSafe[] =
    "    --retries N    send the request again, up to N more times (0..10), when\n"
    "                   no reply came within the timeout; this request is safe\n"
    "                   to repeat\n";

const char kNoRetries[] =
    "    This request is not safe to repeat: it is sent exactly once and\n"
    "    --retries is refused.\n";

const char kStationOptionsNote[] =
    "    The station options (see rfprobe --help) may follow the command.\n";

// Where the text column starts in the command list and in option lists.
constexpr size_t kListColumn = 31;
constexpr size_t kOptionColumn = 19;

// Two-column entries: a usage, and its text; an entry without text is
// listed on the line of the entry before ("start-tx, stop-tx").
using Entries = std::vector<std::pair<std::string, const char *>>;

void addEntry(Entries *e, const std::string &usage, const char *text) {
    if (!text && !e->empty())
        e->back().first += ", " + usage;
    else
        e->emplace_back(usage, text ? text : "");
}

// Indented by four; the text starts at `column`, below the usage when the
// usage is too long, and its further lines start there too.
std::string columns(const Entries &entries, size_t column) {
    std::string out;
    for (const auto &e : entries) {
        std::string line = "    " + e.first;
        if (line.size() + 2 > column) {
            out += line + "\n";
            line.clear();
        }
        for (const char *p = e.second; *p;) {
            const char *end = strchr(p, '\n');
            size_t n = end ? (size_t)(end - p) : strlen(p);
            line.resize(column, ' ');
            out += line.append(p, n) + "\n";
            line.clear();
            p += n + (end ? 1 : 0);
        }
    }
    return out;
}

// "--rate I", or "CHAIN" for a positional argument.
std::string argUsage(const ArgSpec &a) {
    return a.option ? std::string(a.option) + " " + a.metavar : a.metavar;
}

// "raw CODE [--byte B] ...": optional options in brackets.
std::string usage(const Command &c) {
    std::string s = c.word;
    for (const ArgSpec &a : c.args)
        s += a.option && !a.required ? " [" + argUsage(a) + "]" : " " + argUsage(a);
    return s;
}

bool sendsRequests(const Command &c) {
    return c.kind == ActionKind::Send || c.kind == ActionKind::Rx;
}

std::string page(const Command &c) {
    std::string p = std::string("NAME\n    rfprobe ") + c.word + " - " + c.title + "\n\n";
    // sleep talks to nothing: no station option applies to it.
    p += std::string("SYNOPSIS\n    rfprobe ") + (c.kind == ActionKind::Sleep ? "" : "[OPTIONS] ");
    p += usage(c) + (c.retrySafe() ? " [--retries N]" : "") + "\n\n";
    p += std::string("DESCRIPTION\n") + c.description;
    if (sendsRequests(c)) {
        Entries options;
        for (const ArgSpec &a : c.args)
            if (a.option) addEntry(&options, argUsage(a), a.help);
        p += "\n";
        if (!options.empty() || c.retrySafe())
            p += "OPTIONS\n" + columns(options, kOptionColumn) +
                 (c.retrySafe() ? kRetriesSafe : "") + "\n";
        if (!c.retrySafe()) p += kNoRetries;
    }
    if (sendsRequests(c) || c.kind == ActionKind::Listen) p += kStationOptionsNote;
    if (c.example) p += std::string("\nEXAMPLE\n") + c.example;
    return p;
}

struct Manual {
    std::string main;
    std::vector<std::pair<const char *, std::string>> pages;

    Manual() {
        size_t n;
        const Command *all = commands(&n);
        Entries list;
        for (size_t i = 0; i < n; ++i) {
            addEntry(&list, usage(all[i]), all[i].listing);
            pages.emplace_back(all[i].word, page(all[i]));
        }
        main = kMainHead + columns(list, kListColumn) + kMainTail;
    }
};

const Manual &manual() {
    static const Manual m;
    return m;
}

}  // namespace

const char *mainHelp() { return manual().main.c_str(); }

const char *commandHelp(const char *word) {
    for (const auto &p : manual().pages)
        if (strcmp(p.first, word) == 0) return p.second.c_str();
    return nullptr;
}

}  // namespace station
