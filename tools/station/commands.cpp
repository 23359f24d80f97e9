// rfprobe station: the descriptors of every sub-command.
//
// A new request code gets its row in proto/testmsg.h and one descriptor
// here; the build stops until every row has one.
#include "station/command.h"

#include <cstring>

namespace station {

namespace {

// ---- the header's rows ---------------------------------------------------

struct Row {
    uint8_t code;
    const char *word;
    ReplyForm form;
};

constexpr Row kRows[] = {
#define RFPROBE_STATION_ROW(code, name, word, need, run, form) {code, word, form},
    RFPROBE_COMMANDS(RFPROBE_STATION_ROW)
#undef RFPROBE_STATION_ROW
};

constexpr const Row *rowFor(int code) {
    for (const Row &r : kRows)
        if (r.code == code) return &r;
    return nullptr;
}

constexpr const char *wireWord(int code) { return rowFor(code) ? rowFor(code)->word : nullptr; }

// The leading columns of a wire command's descriptor: its word, and that
// running it sends the request with its code.
#define WIRE(code) wireWord(code), ActionKind::Send, code

// ---- arguments -------------------------------------------------------------

constexpr ArgSpec kRate = {"--rate", "I", "rate index", Conv::Integer, Field::Byte, true,
                           0,        kMaxRateIndex, "rate index, 0..48"};
constexpr ArgSpec kBandwidth = {"--bw", "W", "bandwidth", Conv::Bandwidth, Field::Value1, true,
                                0,      0,   "bandwidth in MHz: 20, 40, 80 or 160"};
constexpr ArgSpec kChain = {nullptr, "CHAIN", "chain", Conv::Integer, Field::Chain, true,
                            0,       kMaxChain};

constexpr ArgSpec kChannelArgs[] = {
    {nullptr, "N", "channel", Conv::Integer, Field::Byte, true, 0, 255}};
constexpr ArgSpec kAntennaArgs[] = {
    {nullptr, "N", "antenna", Conv::Integer, Field::Byte, true, 0, 255}};
constexpr ArgSpec kSetTxArgs[] = {
    kRate,
    {"--bw", "W", "bandwidth", Conv::Bandwidth, Field::Value1, true, 0, 0,
     "bandwidth in MHz: 20, 40, 80 or 160 (only 40 selects\nthe 40-MHz mode)"},
    {"--power", "DBM", "power", Conv::Power, Field::Value2, true, 0, 0,
     "transmit power in dBm, 0.0..100.0, at most one decimal;\n"
     "sent in tenths (17.5 is sent as 175)"},
};
constexpr ArgSpec kStartRxArgs[] = {kRate, kBandwidth};
constexpr ArgSpec kRxArgs[] = {
    kRate,
    kBandwidth,
    {"--seconds", "S", "seconds", Conv::Seconds, Field::WaitMs, true, 0, 0,
     "time to receive, 0..86400, up to 3 decimals"},
};
constexpr ArgSpec kPaReadArgs[] = {kChain};
constexpr ArgSpec kPaWriteArgs[] = {
    kChain,
    {nullptr, "C1", "coefficient C1", Conv::Coefficient, Field::Value1, true},
    {nullptr, "C2", "coefficient C2", Conv::Coefficient, Field::Value2, true},
    {nullptr, "C3", "coefficient C3", Conv::Coefficient, Field::Value3, true},
};
constexpr long long kWordLo = -0x80000000LL, kWordHi = 0xFFFFFFFFLL;
constexpr ArgSpec kRawArgs[] = {
    {nullptr, "CODE", "code", Conv::CodeOrWord, Field::Code, true, 0, 255},
    {"--byte", "B", "--byte", Conv::Integer, Field::Byte, false, 0, 255, "byte argument, 0..255"},
    {"--v1", "X", "--v1", Conv::Integer, Field::Value1, false, kWordLo, kWordHi,
     "32-bit words, -2147483648..4294967295, sent big-endian"},
    {"--v2", "X", "--v2", Conv::Integer, Field::Value2, false, kWordLo, kWordHi},
    {"--v3", "X", "--v3", Conv::Integer, Field::Value3, false, kWordLo, kWordHi},
    {"--chain", "C", "--chain", Conv::Integer, Field::Chain, false, 0, 255, "chain byte, 0..255"},
};
constexpr ArgSpec kRunArgs[] = {{nullptr, "PLAN", "plan", Conv::Path, Field::Path, true}};
constexpr ArgSpec kSleepArgs[] = {
    {nullptr, "S", "sleep", Conv::Seconds, Field::WaitMs, true, 0, 0, nullptr, "SECONDS"}};

// ---- the descriptors, in the order of the manual --------------------------
//
// Columns: word, kind and code; arguments; flags; reply view; then the
// manual: listing, NAME line, description, example.

constexpr Command kCommands[] = {
    {WIRE(CMD_ENTER_TEST_MODE), {}, kPlanStep, ReplyView::ValueOne,
     "put the radio into test mode", "put the radio into test mode",
     "    Sends request 0x80. The agent stops the channel daemon, selects band b,\n"
     "    empties the SSID and forces a calibration, then replies with value1=1.\n"},
    {WIRE(CMD_EXIT_TEST), {}, kRetrySafe | kPlanStep, ReplyView::Ok,
     "leave test mode (the agent keeps serving)", "leave test mode",
     "    Sends request 0x81. The agent replies and goes on serving requests.\n"},
    {WIRE(CMD_SET_CHANNEL), kChannelArgs, kRetrySafe | kPlanStep, ReplyView::Ok,
     "record the channel, 0..255", "record the test channel",
     "    Sends request 0x82 with channel N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n"},
    {WIRE(CMD_SET_ANTENNA), kAntennaArgs, kRetrySafe | kPlanStep, ReplyView::Ok,
     "record the antenna, 0..255", "record the test antenna",
     "    Sends request 0x83 with antenna N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n"},
    {WIRE(CMD_SET_TX), kSetTxArgs, kPlanStep, ReplyView::Ok,
     "set up a transmit test", "set up a transmit test",
     "    Sends request 0x95. The agent applies the recorded channel and antenna\n"
     "    with this rate, bandwidth and transmit power.\n",
     "    rfprobe set-tx --rate 15 --bw 40 --power 16.5\n"},
    {WIRE(CMD_START_TX_FRAMES), {}, kPlanStep, ReplyView::Ok,
     "start / stop the packet engine once", "start the packet engine",
     "    Sends request 0x87: the agent starts the radio's packet engine once.\n"},
    {WIRE(CMD_STOP_TX), {}, kRetrySafe | kPlanStep, ReplyView::Ok,
     nullptr, "stop the packet engine",
     "    Sends request 0x96.\n"},
    {WIRE(CMD_START_RX), kStartRxArgs, kPlanStep, ReplyView::Ok,
     "start a receive test", "start a receive test",
     "    Sends request 0x97. The agent applies the recorded channel and antenna\n"
     "    with this rate and bandwidth and records the receive counter. It sends\n"
     "    no reply when the counter cannot be read: the tool then reports no\n"
     "    reply (exit status 4).\n"},
    {WIRE(CMD_STOP_RX), {}, kPlanStep, ReplyView::Count,
     "stop it and print the received count", "stop a receive test and print the count",
     "    Sends request 0x98. The reply's value1 is how far the receive counter\n"
     "    advanced since start-rx, modulo 2^32. It is printed unsigned; when it\n"
     "    is negative as a signed 32-bit number (the counter went down, e.g.\n"
     "    the driver was reset) the tool says so. No reply comes when the\n"
     "    counter cannot be read (exit status 4).\n"},
    {"rx", ActionKind::Rx, CMD_START_RX, kRxArgs, kPlanStep, ReplyView::Ok,
     "start-rx, wait S seconds, stop-rx", "run a timed receive test",
     "    Sends start-rx, waits S seconds, sends stop-rx and prints the received\n"
     "    count. Stops with exit status 4 if start-rx gets no reply. Interrupted\n"
     "    during the wait, it still sends stop-rx, then exits with status 130.\n"},
    {WIRE(CMD_START_CYC_TX), {}, kPlanStep, ReplyView::Ok,
     "start / stop continuous transmission", "start continuous transmission",
     "    Sends request 0x99: the agent starts the packet engine over and over\n"
     "    until stop-cyc-tx. It sends no reply when it cannot start (exit\n"
     "    status 4).\n"},
    {WIRE(CMD_STOP_CYC_TX), {}, kPlanStep, ReplyView::Ok,
     nullptr, "stop continuous transmission",
     "    Sends request 0x9A. The agent sends no reply when it cannot stop the\n"
     "    transmission (exit status 4).\n"},
    {WIRE(CMD_INIT_PA_DATAFILE), {}, kPlanStep, ReplyView::Ok,
     "start a new PA data file", "start a new PA data file",
     "    Sends request 0x91. Send it before the pa-write commands of a unit:\n"
     "    each write appends to the file and hands the whole file to the NVRAM\n"
     "    update tool.\n"},
    {WIRE(CMD_READ_PA_PARAMS), kPaReadArgs, kRetrySafe | kPlanStep, ReplyView::Coefficients,
     "print a chain's three PA coefficients", "print a chain's PA coefficients",
     "    Sends request 0x92 for CHAIN (0 or 1). Each coefficient is printed as\n"
     "    the agent sent it, in decimal and hexadecimal, and as the signed\n"
     "    16-bit number its low 16 bits hold (65164, 0x0000fe8c, -372).\n"},
    {WIRE(CMD_WRITE_PA_PARAMS), kPaWriteArgs, kPlanStep, ReplyView::Ok,
     "set a chain's PA coefficients", "set a chain's PA coefficients",
     "    Sends request 0x93: the agent sets the coefficients in the radio,\n"
     "    appends them to the PA data file and runs the NVRAM update tool.\n"
     "    CHAIN is 0 or 1. Each coefficient is a signed 16-bit number,\n"
     "    -32768..32767, or its 16-bit pattern in hex as pa-read shows it\n"
     "    (0xfe8c, also 0xfffffe8c).\n",
     "    rfprobe pa-write 0 -372 418 0\n"},
    {WIRE(CMD_SAVE_PA_PARAMS), {}, kPlanStep, ReplyView::Ok,
     "save both chains' coefficients to NVRAM", "save both chains' PA coefficients to NVRAM",
     "    Sends request 0x9C: the agent writes the current coefficients of both\n"
     "    chains to NVRAM.\n"},
    {WIRE(CMD_FINISH_TEST), {}, kPlanStep, ReplyView::Ok,
     "mark the unit tested; the agent exits", "finish the test",
     "    Sends request 0x9B: the agent marks the unit as tested, replies and\n"
     "    exits.\n"},
    {"raw", ActionKind::Send, -1, kRawArgs, kPlanStep, ReplyView::Fields,
     "send any request code", "send any request code",
     "    Sends a request with code CODE (0..255, or a command word) and the given\n"
     "    fields; fields not given are 0. Prints every field of the reply. A code\n"
     "    without a command gets no reply (exit status 4).\n",
     "    rfprobe raw 0x82 --byte 6\n"},
    {"listen", ActionKind::Listen, -1, {}, 0, ReplyView::Fields,
     "print every reply seen until interrupted", "print every reply",
     "    Sends nothing. Prints every test reply seen on UDP port 1062 until\n"
     "    interrupted (exit status 0). With -v, also notes packets without the\n"
     "    magic.\n"},
    {"run", ActionKind::Run, -1, kRunArgs, 0, ReplyView::Ok,
     "run a test plan file ('-': standard input)", "run a test plan",
     "    Reads PLAN ('-' for standard input): one command per line, written as\n"
     "    on the command line without 'rfprobe' and without station options.\n"
     "    A word starting with # begins a comment; blank lines are skipped.\n"
     "    The whole plan is checked first: a bad line stops it before anything\n"
     "    is sent (exit status 2). The commands then run in order; the first\n"
     "    failure stops the plan, names the line, and sets the exit status.\n"
     "    run and listen cannot be used inside a plan.\n",
     "    # line 3, transmit check\n"
     "    enter-test-mode\n"
     "    set-channel 6 --retries 2\n"
     "    set-antenna 0\n"
     "    set-tx --rate 0 --bw 20 --power 17.5\n"
     "    start-tx\n"
     "    sleep 2\n"
     "    stop-tx\n"},
    {"sleep", ActionKind::Sleep, -1, kSleepArgs, kPlanStep, ReplyView::Ok,
     "wait S seconds (for plans)", "wait",
     "    Waits S seconds (0..86400, up to 3 decimals) and sends nothing. Meant\n"
     "    for plans.\n"},
};

#undef WIRE

constexpr bool sameText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Every row of the header has exactly one wire descriptor, and every wire
// descriptor stands for a row.
constexpr bool everyRowDescribedOnce() {
    for (const Row &r : kRows) {
        int n = 0;
        for (const Command &c : kCommands)
            if (c.kind == ActionKind::Send && c.code == r.code) ++n;
        if (n != 1) return false;
    }
    for (const Command &c : kCommands)
        if (!c.word || (c.code >= 0 && !rowFor(c.code))) return false;
    return true;
}
static_assert(everyRowDescribedOnce(),
              "every command in proto/testmsg.h needs exactly one station descriptor");

// A reply read as three coefficients is a parameter reply, and only it.
constexpr bool viewsMatchReplyForms() {
    for (const Command &c : kCommands)
        if (c.kind == ActionKind::Send && c.code >= 0 &&
            (c.view == ReplyView::Coefficients) != (rowFor(c.code)->form == kReplyParams))
            return false;
    return true;
}
static_assert(viewsMatchReplyForms(), "a parameter reply is read as three coefficients");

// Words are unique; argument lists fit the parser.
constexpr bool wordsUniqueArgsBounded() {
    for (const Command &a : kCommands) {
        if (a.args.count > kMaxCommandArgs) return false;
        for (const Command &b : kCommands)
            if (&a != &b && sameText(a.word, b.word)) return false;
    }
    return true;
}
static_assert(wordsUniqueArgsBounded(),
              "two sub-commands share a word, or one has too many arguments");

constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

}  // namespace

const Command *commands(size_t *count) {
    *count = kCommandCount;
    return kCommands;
}

const Command *findCommand(const char *word) {
    for (const Command &c : kCommands)
        if (strcmp(c.word, word) == 0) return &c;
    return nullptr;
}

const Command *commandForCode(uint8_t code) {
    for (const Command &c : kCommands)
        if (c.kind == ActionKind::Send && c.code == code) return &c;
    return nullptr;
}

const char *commandWord(uint8_t code) {
    const Command *c = commandForCode(code);
    return c ? c->word : nullptr;
}

bool isRetrySafe(uint8_t code) {
    const Command *c = commandForCode(code);
    return c && c->retrySafe();
}

}  // namespace station
