// rfprobe station: the manual printed by --help.
//
// The pages are put together from the descriptors: synopses from their
// arguments, option lines from the arguments' help, the note on repeating a
// request from the retry-safe column.  Only the prose is written here.
#include "station/cli/help.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "station/args/command.h"

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
    "    --iface IF     send and listen on interface IF only; use it on a PC with\n"
    "                   more than one network (before Linux 5.7 it needs root or\n"
    "                   CAP_NET_RAW)\n"
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
    "LIMITS AND VERDICTS\n"
    "    rx, stop-rx and pa-read measure what their reply carries: count (the\n"
    "    received count, as a signed 32-bit number), pa1, pa2, pa3 (the\n"
    "    coefficients, as signed 16-bit numbers). Limits on them (--min, --max,\n"
    "    --pa1 LO..HI..., inclusive) make the command, or the plan step, end\n"
    "    PASS or FAIL; a line \"[line N] COMMAND: VERDICT: ...\" follows its reply\n"
    "    (with --json an object with line, step, verdict and measurements). A\n"
    "    step that gets no reply ends ERROR. A limit on a command that measures\n"
    "    nothing is refused. A plan with limits ends with the line \"plan NAME:\n"
    "    VERDICT\": FAIL if any step failed, else ERROR if a step erred, else\n"
    "    PASS (with --json {\"plan\":NAME,\"verdict\":...}).\n"
    "\n"
    "RECORDS\n"
    "    run PLAN --dut SERIAL keeps a record of the run in the results store,\n"
    "    run PLAN --unit IF=SERIAL... one per unit (rfprobe run --help); report\n"
    "    reads the store, sync uploads what was spooled, archive moves old\n"
    "    records to a file and restore loads them back. The store is an SQLite\n"
    "    file, ./rfprobe-results.db unless --store or RFPROBE_STORE says\n"
    "    otherwise, or a PostgreSQL database (postgresql://...) shared by the\n"
    "    stations of a line; docs/records.md describes records and stores.\n"
    "\n"
    "ENVIRONMENT\n"
    "    RFPROBE_STORE     the results store when --store is not given\n"
    "    RFPROBE_SPOOL     the spool file when --spool is not given\n"
    "    RFPROBE_STATION   the station name when --station is not given\n"
    "    RFPROBE_OPERATOR  the operator when --operator is not given\n"
    "\n"
    "EXIT STATUS\n"
    "    0    success; with limits: PASS\n"
    "    1    FAIL: a measured value missed its limits\n"
    "    2    bad argument, plan line or record option, or unknown command;\n"
    "         nothing was sent or written\n"
    "    3    socket error (cannot open, bind or send)\n"
    "    4    no reply within the timeout\n"
    "    5    the results store cannot be opened, read or written\n"
    "    6    the tester (run --fixture) could not be reached, answered an\n"
    "         error, not-a-number or garbage, or timed out\n"
    "    130  interrupted (Ctrl-C, SIGTERM or SIGHUP: runs end and keep their\n"
    "         records); a second such signal ends the tool at once, with\n"
    "         128 + the signal\n"
    "    A plan stops at a step that gets no reply (4), a socket error (3) or\n"
    "    a tester error (6);\n"
    "    its verdict is then ERROR and its status that of the step, unless an\n"
    "    earlier step failed (FAIL, 1). Several units: the worst of their\n"
    "    statuses, in the order 5, 130, 1, 3, 4 or 6, 0.\n"
    "\n"
    "EXAMPLES\n"
    "    rfprobe --iface eth1 enter-test-mode\n"
    "    rfprobe --iface eth1 set-channel 6\n"
    "    rfprobe --iface eth1 set-tx --rate 0 --bw 20 --power 17.5\n"
    "    rfprobe --iface eth1 --json pa-read 0\n"
    "    rfprobe --iface eth1 rx --rate 15 --bw 40 --seconds 2 --min 3800\n"
    "    rfprobe --iface eth1 run line3.plan\n"
    "    rfprobe --iface eth1 run line3.plan --dut SN0001 --operator ana\n"
    "    rfprobe run line3.plan --unit eth1=SN0001 --unit eth2=SN0002\n"
    "    rfprobe report --since 2024-05-01\n"
    "    rfprobe sync --store postgresql://line3@db.factory/results\n";

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

// "--rate I", "--stop-on-fail", or "CHAIN" for a positional argument.
std::string argUsage(const ArgDef &a) {
    if (!a.option) return a.metavar;
    return a.metavar && a.metavar[0] ? std::string(a.option) + " " + a.metavar : a.option;
}

// "raw CODE [--byte B] ...": optional options in brackets, a repeatable one
// followed by "...", the options of a group as "[GROUP]".
std::string usage(const Command &c) {
    std::string s = c.word;
    std::vector<std::string> groups;
    for (const ArgDef &a : c.args) {
        if (a.group) {
            if (std::find(groups.begin(), groups.end(), a.group) == groups.end()) {
                groups.push_back(a.group);
                s += std::string(" [") + a.group + "]";
            }
            continue;
        }
        s += a.option && !a.required ? " [" + argUsage(a) + "]" : " " + argUsage(a);
        if (a.repeat) s += "...";
    }
    return s;
}

// A step that talks to the agent on a link of its own (not the tester's).
bool sendsRequests(const Command &c) {
    return c.step && !c.usesTester() && !(c.flags & kNoAgent);
}

// Talks to no router: no station option applies.
bool offline(const Command &c) {
    return (c.flags & kNoAgent) ||
           ((c.flags & kNeedsStore) && c.kind != ActionKind::Serve && c.kind != ActionKind::Run);
}

// The option list of the options in group (null: those in none).
std::string optionList(const Command &c, const char *group) {
    Entries options;
    for (const ArgDef &a : c.args)
        if (a.option && (a.group == group || (a.group && group && strcmp(a.group, group) == 0)))
            addEntry(&options, argUsage(a), a.help);
    return columns(options, kOptionColumn);
}

std::string page(const Command &c) {
    std::string p = std::string("NAME\n    rfprobe ") + c.word + " - " + c.title + "\n\n";
    p += std::string("SYNOPSIS\n    rfprobe ") + (offline(c) ? "" : "[OPTIONS] ");
    p += usage(c) + (c.retrySafe() ? " [--retries N]" : "") + "\n\n";
    p += std::string("DESCRIPTION\n") + c.description;
    std::string options = optionList(c, nullptr);
    std::vector<const char *> groups;
    for (const ArgDef &a : c.args)
        if (a.group && std::find_if(groups.begin(), groups.end(), [&](const char *g) {
                           return strcmp(g, a.group) == 0;
                       }) == groups.end())
            groups.push_back(a.group);
    if (sendsRequests(c) || !options.empty() || !groups.empty()) p += "\n";
    if (!options.empty() || c.retrySafe())
        p += "OPTIONS\n" + options + (c.retrySafe() ? kRetriesSafe : "") + "\n";
    for (const char *g : groups) p += std::string(g) + "\n" + optionList(c, g) + "\n";
    if (sendsRequests(c) && !c.retrySafe()) p += kNoRetries;
    if (sendsRequests(c) || c.kind == ActionKind::Listen || c.kind == ActionKind::Run ||
        c.kind == ActionKind::Serve)
        p += kStationOptionsNote;
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
