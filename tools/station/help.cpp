// rfprobe station: manual pages printed by --help.
#include <cstring>

#include "station/station.h"

namespace station {

namespace {

const char kMainHelp[] =
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
    "COMMANDS\n"
    "    enter-test-mode            put the radio into test mode\n"
    "    exit-test                  leave test mode (the agent keeps serving)\n"
    "    set-channel N              record the channel, 0..255\n"
    "    set-antenna N              record the antenna, 0..255\n"
    "    set-tx --rate I --bw W --power DBM\n"
    "                               set up a transmit test\n"
    "    start-tx, stop-tx          start / stop the packet engine once\n"
    "    start-rx --rate I --bw W   start a receive test\n"
    "    stop-rx                    stop it and print the received count\n"
    "    rx --rate I --bw W --seconds S\n"
    "                               start-rx, wait S seconds, stop-rx\n"
    "    start-cyc-tx, stop-cyc-tx  start / stop continuous transmission\n"
    "    pa-init                    start a new PA data file\n"
    "    pa-read CHAIN              print a chain's three PA coefficients\n"
    "    pa-write CHAIN C1 C2 C3    set a chain's PA coefficients\n"
    "    pa-save                    save both chains' coefficients to NVRAM\n"
    "    finish                     mark the unit tested; the agent exits\n"
    "    raw CODE [--byte B] [--v1 X] [--v2 X] [--v3 X] [--chain C]\n"
    "                               send any request code\n"
    "    listen                     print every reply seen until interrupted\n"
    "    run PLAN                   run a test plan file ('-': standard input)\n"
    "    sleep S                    wait S seconds (for plans)\n"
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

struct Page {
    const char *word;
    const char *text;
};

#define RETRIES_SAFE                                                               \
    "    --retries N    send the request again, up to N more times (0..10), when\n" \
    "                   no reply came within the timeout; this request is safe\n"  \
    "                   to repeat\n"

#define NO_RETRIES                                                                 \
    "    This request is not safe to repeat: it is sent exactly once and\n"        \
    "    --retries is refused.\n"

#define GLOBAL_NOTE "    The station options (see rfprobe --help) may follow the command.\n"

// A command without arguments that is not safe to repeat.
#define SIMPLE(word, summary, desc)                             \
    {word, "NAME\n    rfprobe " word " - " summary "\n\n"      \
           "SYNOPSIS\n    rfprobe [OPTIONS] " word "\n\n"       \
           "DESCRIPTION\n" desc "\n" NO_RETRIES GLOBAL_NOTE}

const Page kPages[] = {
    {"enter-test-mode",
     "NAME\n    rfprobe enter-test-mode - put the radio into test mode\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] enter-test-mode\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x80. The agent stops the channel daemon, selects band b,\n"
     "    empties the SSID and forces a calibration, then replies with value1=1.\n\n" NO_RETRIES
         GLOBAL_NOTE},
    {"exit-test",
     "NAME\n    rfprobe exit-test - leave test mode\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] exit-test [--retries N]\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x81. The agent replies and goes on serving requests.\n\n"
     "OPTIONS\n" RETRIES_SAFE "\n" GLOBAL_NOTE},
    {"set-channel",
     "NAME\n    rfprobe set-channel - record the test channel\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] set-channel N [--retries N]\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x82 with channel N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n\n"
     "OPTIONS\n" RETRIES_SAFE "\n" GLOBAL_NOTE},
    {"set-antenna",
     "NAME\n    rfprobe set-antenna - record the test antenna\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] set-antenna N [--retries N]\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x83 with antenna N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n\n"
     "OPTIONS\n" RETRIES_SAFE "\n" GLOBAL_NOTE},
    {"set-tx",
     "NAME\n    rfprobe set-tx - set up a transmit test\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] set-tx --rate I --bw W --power DBM\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x95. The agent applies the recorded channel and antenna\n"
     "    with this rate, bandwidth and transmit power.\n\n"
     "OPTIONS\n"
     "    --rate I       rate index, 0..48\n"
     "    --bw W         bandwidth in MHz: 20, 40, 80 or 160 (only 40 selects\n"
     "                   the 40-MHz mode)\n"
     "    --power DBM    transmit power in dBm, 0.0..100.0, at most one decimal;\n"
     "                   sent in tenths (17.5 is sent as 175)\n\n" NO_RETRIES GLOBAL_NOTE
     "\nEXAMPLE\n    rfprobe set-tx --rate 15 --bw 40 --power 16.5\n"},
    {"start-rx",
     "NAME\n    rfprobe start-rx - start a receive test\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] start-rx --rate I --bw W\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x97. The agent applies the recorded channel and antenna\n"
     "    with this rate and bandwidth and records the receive counter. It sends\n"
     "    no reply when the counter cannot be read: the tool then reports no\n"
     "    reply (exit status 4).\n\n"
     "OPTIONS\n"
     "    --rate I       rate index, 0..48\n"
     "    --bw W         bandwidth in MHz: 20, 40, 80 or 160\n\n" NO_RETRIES GLOBAL_NOTE},
    {"stop-rx",
     "NAME\n    rfprobe stop-rx - stop a receive test and print the count\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] stop-rx\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x98. The reply's value1 is how far the receive counter\n"
     "    advanced since start-rx, modulo 2^32. It is printed unsigned; when it\n"
     "    is negative as a signed 32-bit number (the counter went down, e.g.\n"
     "    the driver was reset) the tool says so. No reply comes when the\n"
     "    counter cannot be read (exit status 4).\n\n" NO_RETRIES GLOBAL_NOTE},
    {"rx",
     "NAME\n    rfprobe rx - run a timed receive test\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] rx --rate I --bw W --seconds S\n\n"
     "DESCRIPTION\n"
     "    Sends start-rx, waits S seconds, sends stop-rx and prints the received\n"
     "    count. Stops with exit status 4 if start-rx gets no reply. Interrupted\n"
     "    during the wait, it still sends stop-rx, then exits with status 130.\n\n"
     "OPTIONS\n"
     "    --rate I       rate index, 0..48\n"
     "    --bw W         bandwidth in MHz: 20, 40, 80 or 160\n"
     "    --seconds S    time to receive, 0..86400, up to 3 decimals\n\n" NO_RETRIES
         GLOBAL_NOTE},
    SIMPLE("start-tx", "start the packet engine",
           "    Sends request 0x87: the agent starts the radio's packet engine once.\n"),
    {"stop-tx",
     "NAME\n    rfprobe stop-tx - stop the packet engine\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] stop-tx [--retries N]\n\n"
     "DESCRIPTION\n    Sends request 0x96.\n\n"
     "OPTIONS\n" RETRIES_SAFE "\n" GLOBAL_NOTE},
    SIMPLE("start-cyc-tx", "start continuous transmission",
           "    Sends request 0x99: the agent starts the packet engine over and over\n"
           "    until stop-cyc-tx. It sends no reply when it cannot start (exit\n"
           "    status 4).\n"),
    SIMPLE("stop-cyc-tx", "stop continuous transmission",
           "    Sends request 0x9A. The agent sends no reply when it cannot stop the\n"
           "    transmission (exit status 4).\n"),
    SIMPLE("pa-init", "start a new PA data file",
           "    Sends request 0x91. Send it before the pa-write commands of a unit:\n"
           "    each write appends to the file and hands the whole file to the NVRAM\n"
           "    update tool.\n"),
    {"pa-read",
     "NAME\n    rfprobe pa-read - print a chain's PA coefficients\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] pa-read CHAIN [--retries N]\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x92 for CHAIN (0 or 1). Each coefficient is printed as\n"
     "    the agent sent it, in decimal and hexadecimal, and as the signed\n"
     "    16-bit number its low 16 bits hold (65164, 0x0000fe8c, -372).\n\n"
     "OPTIONS\n" RETRIES_SAFE "\n" GLOBAL_NOTE},
    {"pa-write",
     "NAME\n    rfprobe pa-write - set a chain's PA coefficients\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] pa-write CHAIN C1 C2 C3\n\n"
     "DESCRIPTION\n"
     "    Sends request 0x93: the agent sets the coefficients in the radio,\n"
     "    appends them to the PA data file and runs the NVRAM update tool.\n"
     "    CHAIN is 0 or 1. Each coefficient is a signed 16-bit number,\n"
     "    -32768..32767, or its 16-bit pattern in hex as pa-read shows it\n"
     "    (0xfe8c, also 0xfffffe8c).\n\n" NO_RETRIES GLOBAL_NOTE
     "\nEXAMPLE\n    rfprobe pa-write 0 -372 418 0\n"},
    SIMPLE("pa-save", "save both chains' PA coefficients to NVRAM",
           "    Sends request 0x9C: the agent writes the current coefficients of both\n"
           "    chains to NVRAM.\n"),
    SIMPLE("finish", "finish the test",
           "    Sends request 0x9B: the agent marks the unit as tested, replies and\n"
           "    exits.\n"),
    {"raw",
     "NAME\n    rfprobe raw - send any request code\n\n"
     "SYNOPSIS\n"
     "    rfprobe [OPTIONS] raw CODE [--byte B] [--v1 X] [--v2 X] [--v3 X] [--chain C]\n\n"
     "DESCRIPTION\n"
     "    Sends a request with code CODE (0..255, or a command word) and the given\n"
     "    fields; fields not given are 0. Prints every field of the reply. A code\n"
     "    without a command gets no reply (exit status 4).\n\n"
     "OPTIONS\n"
     "    --byte B       byte argument, 0..255\n"
     "    --v1 X, --v2 X, --v3 X\n"
     "                   32-bit words, -2147483648..4294967295, sent big-endian\n"
     "    --chain C      chain byte, 0..255\n\n" NO_RETRIES GLOBAL_NOTE
     "\nEXAMPLE\n    rfprobe raw 0x82 --byte 6\n"},
    {"listen",
     "NAME\n    rfprobe listen - print every reply\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] listen\n\n"
     "DESCRIPTION\n"
     "    Sends nothing. Prints every test reply seen on UDP port 1062 until\n"
     "    interrupted (exit status 0). With -v, also notes packets without the\n"
     "    magic.\n" GLOBAL_NOTE},
    {"run",
     "NAME\n    rfprobe run - run a test plan\n\n"
     "SYNOPSIS\n    rfprobe [OPTIONS] run PLAN\n\n"
     "DESCRIPTION\n"
     "    Reads PLAN ('-' for standard input): one command per line, written as\n"
     "    on the command line without 'rfprobe' and without station options.\n"
     "    A word starting with # begins a comment; blank lines are skipped.\n"
     "    The whole plan is checked first: a bad line stops it before anything\n"
     "    is sent (exit status 2). The commands then run in order; the first\n"
     "    failure stops the plan, names the line, and sets the exit status.\n"
     "    run and listen cannot be used inside a plan.\n\n"
     "EXAMPLE\n"
     "    # line 3, transmit check\n"
     "    enter-test-mode\n"
     "    set-channel 6 --retries 2\n"
     "    set-antenna 0\n"
     "    set-tx --rate 0 --bw 20 --power 17.5\n"
     "    start-tx\n"
     "    sleep 2\n"
     "    stop-tx\n"},
    {"sleep",
     "NAME\n    rfprobe sleep - wait\n\n"
     "SYNOPSIS\n    rfprobe sleep S\n\n"
     "DESCRIPTION\n"
     "    Waits S seconds (0..86400, up to 3 decimals) and sends nothing. Meant\n"
     "    for plans.\n"},
};

}  // namespace

const char *mainHelp() { return kMainHelp; }

const char *commandHelp(const char *word) {
    for (const Page &p : kPages)
        if (strcmp(p.word, word) == 0) return p.text;
    return nullptr;
}

}  // namespace station
