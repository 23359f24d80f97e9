// The wire commands as plan steps: one step per row of the command table
// in proto/testmsg.h, the truth of codes.  The row gives the step its
// code, word and reply form; this table adds, one row per code, what only
// the station needs: the arguments (the request's fields), whether the
// request may be repeated, how its reply reads, what it does to the
// unit's radio, and its manual page.  The build stops until every row of
// the command table has exactly one here.  Every wire step runs the same
// way: one request, one reply, measured as its reply reads (stop-rx's
// count, pa-read's coefficients).
#include "station/args/common_args.h"
#include "station/step/step.h"

namespace station {

namespace {

// ---- the command table's rows ----------------------------------------------

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

// ---- what a reply measures ---------------------------------------------------

constexpr MeasureDecl kCount[] = {{"count", "", 0, MeasureKind::Limited}};
constexpr MeasureDecl kCoefficients[] = {
    {"pa1", "", 0, MeasureKind::Limited}, {"pa2", "", 0, MeasureKind::Limited}, {"pa3", "", 0, MeasureKind::Limited}};

// One request (with --retries), its reply printed, and what it measures.
void sendOne(StepRun &s) {
    const Command &c = *s.act.cmd;
    int rc = sendStepRequest(s.link, s.opt, s.act.req, &s.out, false, s.act.retries,
                             c.view == ReplyView::Fields, c.word);
    s.out.status = rc;
    if (rc != kExitOk) return;
    const TestMsg &r = s.out.exchanges[s.out.exchangeCount - 1].reply;
    s.out.measuredCount = (unsigned)measureReply(c.measures(), r, s.act.limits, s.out.measured);
}

// ---- what a request does to the radio ----------------------------------------

void setChannel(const Action &a, RadioState &r) { r.channel = a.req.byteArg; }
void setAntenna(const Action &a, RadioState &r) { r.antenna = a.req.byteArg; }
// set-tx applies the recorded channel (none recorded: no transmit test).
void setTx(const Action &a, RadioState &r) {
    if (r.channel < 0) return;
    r.txSet = true;
    r.txChannel = r.channel;
    r.txRate = a.req.byteArg;
    r.txBwMhz = (int)a.req.value1;
    r.txPowerDbm = a.req.value2 / 10.0;
}
void txOn(const Action &, RadioState &r) { r.transmitting = true; }
void txOff(const Action &, RadioState &r) { r.transmitting = false; }

// ---- arguments -------------------------------------------------------------

constexpr ArgDef kChannelArgs[] = {
    {nullptr, "N", "channel", Conv::Integer, Field::Byte, true, 0, 255}};
constexpr ArgDef kAntennaArgs[] = {
    {nullptr, "N", "antenna", Conv::Integer, Field::Byte, true, 0, 255}};
constexpr ArgDef kSetTxArgs[] = {
    kRate,
    {"--bw", "W", "bandwidth", Conv::Bandwidth, Field::Value1, true, 0, 0,
     "bandwidth in MHz: 20, 40, 80 or 160 (only 40 selects\nthe 40-MHz mode)"},
    {"--power", "DBM", "power", Conv::Power, Field::Value2, true, 0, 0,
     "transmit power in dBm, 0.0..100.0, at most one decimal;\n"
     "sent in tenths (17.5 is sent as 175)"},
};
constexpr ArgDef kStartRxArgs[] = {kRate, kBandwidth};

// Limits: only on commands whose reply measures something.
constexpr ArgDef kStopRxArgs[] = {kCountMin, kCountMax, kStopOnFail};
constexpr ArgDef kPaReadArgs[] = {
    kChain,
    {"--min", "X", "--min", Conv::Limit, Field::Low, false, 0, 0,
     "lowest value that passes, for each coefficient\n(as the signed 16-bit number)",
     nullptr, kLimits},
    {"--max", "X", "--max", Conv::Limit, Field::High, false, 0, 0,
     "highest value that passes, for each coefficient", nullptr, kLimits},
    {"--pa1", "LO..HI", "--pa1", Conv::Range, Field::Pa1, false, 0, 0,
     "limits of one coefficient, in place of --min and --max;\n"
     "either end may be left out (-400.., ..-350)",
     nullptr, kLimits},
    {"--pa2", "LO..HI", "--pa2", Conv::Range, Field::Pa2, false, 0, 0, nullptr, nullptr, kLimits},
    {"--pa3", "LO..HI", "--pa3", Conv::Range, Field::Pa3, false, 0, 0, nullptr, nullptr, kLimits},
    kStopOnFail,
};
constexpr ArgDef kPaWriteArgs[] = {
    kChain,
    {nullptr, "C1", "coefficient C1", Conv::Coefficient, Field::Value1, true},
    {nullptr, "C2", "coefficient C2", Conv::Coefficient, Field::Value2, true},
    {nullptr, "C3", "coefficient C3", Conv::Coefficient, Field::Value3, true},
};
constexpr long long kWordLo = -0x80000000LL, kWordHi = 0xFFFFFFFFLL;
constexpr ArgDef kRawArgs[] = {
    {nullptr, "CODE", "code", Conv::CodeOrWord, Field::Code, true, 0, 255},
    {"--byte", "B", "--byte", Conv::Integer, Field::Byte, false, 0, 255, "byte argument, 0..255"},
    {"--v1", "X", "--v1", Conv::Integer, Field::Value1, false, kWordLo, kWordHi,
     "32-bit words, -2147483648..4294967295, sent big-endian"},
    {"--v2", "X", "--v2", Conv::Integer, Field::Value2, false, kWordLo, kWordHi},
    {"--v3", "X", "--v3", Conv::Integer, Field::Value3, false, kWordLo, kWordHi},
    {"--chain", "C", "--chain", Conv::Integer, Field::Chain, false, 0, 255, "chain byte, 0..255"},
};
// ---- the steps, in the order of the manual -----------------------------------
//
// Columns: the code (its row gives the word), the effect, the arguments,
// flags, reply view; then the manual: listing, NAME line, description,
// example.

using Effect = void (*)(const Action &, RadioState &);

constexpr StepDef wire(int code, Effect effect, ArgList args, unsigned flags, ReplyView view, const char *listing,
                       const char *title, const char *description, const char *example = nullptr) {
    const bool count = view == ReplyView::Count, coeffs = view == ReplyView::Coefficients;
    return {{rowFor(code) ? rowFor(code)->word : code < 0 ? "raw" : nullptr, ActionKind::Send, code, nullptr, args,
             flags, view, listing, title, description, example},
            count ? kCount : coeffs ? kCoefficients : nullptr,
            (uint8_t)(count ? 1 : coeffs ? 3 : 0),
            0,
            sendOne,
            effect};
}

constexpr StepDef kWire[] = {
    wire(CMD_ENTER_TEST_MODE, nullptr, {}, kPlanStep, ReplyView::ValueOne,
     "put the radio into test mode", "put the radio into test mode",
     "    Sends request 0x80. The agent stops the channel daemon, selects band b,\n"
     "    empties the SSID and forces a calibration, then replies with value1=1.\n"),
    wire(CMD_EXIT_TEST, nullptr, {}, kRetrySafe | kPlanStep, ReplyView::Ok,
     "leave test mode (the agent keeps serving)", "leave test mode",
     "    Sends request 0x81. The agent replies and goes on serving requests.\n"),
    wire(CMD_SET_CHANNEL, setChannel, kChannelArgs, kRetrySafe | kPlanStep, ReplyView::Ok,
     "record the channel, 0..255", "record the test channel",
     "    Sends request 0x82 with channel N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n"),
    wire(CMD_SET_ANTENNA, setAntenna, kAntennaArgs, kRetrySafe | kPlanStep, ReplyView::Ok,
     "record the antenna, 0..255", "record the test antenna",
     "    Sends request 0x83 with antenna N (0..255) as its byte argument. The\n"
     "    agent only records it; the next set-tx or start-rx applies it.\n"),
    wire(CMD_SET_TX, setTx, kSetTxArgs, kPlanStep, ReplyView::Ok,
     "set up a transmit test", "set up a transmit test",
     "    Sends request 0x95. The agent applies the recorded channel and antenna\n"
     "    with this rate, bandwidth and transmit power.\n",
     "    rfprobe set-tx --rate 15 --bw 40 --power 16.5\n"),
    wire(CMD_START_TX_FRAMES, txOn, {}, kPlanStep, ReplyView::Ok,
     "start / stop the packet engine once", "start the packet engine",
     "    Sends request 0x87: the agent starts the radio's packet engine once.\n"),
    wire(CMD_STOP_TX, txOff, {}, kRetrySafe | kPlanStep, ReplyView::Ok,
     nullptr, "stop the packet engine",
     "    Sends request 0x96.\n"),
    wire(CMD_START_RX, nullptr, kStartRxArgs, kPlanStep, ReplyView::Ok,
     "start a receive test", "start a receive test",
     "    Sends request 0x97. The agent applies the recorded channel and antenna\n"
     "    with this rate and bandwidth and records the receive counter. It sends\n"
     "    no reply when the counter cannot be read: the tool then reports no\n"
     "    reply (exit status 4).\n"),
    wire(CMD_STOP_RX, nullptr, kStopRxArgs, kPlanStep, ReplyView::Count,
     "stop it and print the received count", "stop a receive test and print the count",
     "    Sends request 0x98. The reply's value1 is how far the receive counter\n"
     "    advanced since start-rx, modulo 2^32. It is printed unsigned; when it\n"
     "    is negative as a signed 32-bit number (the counter went down, e.g.\n"
     "    the driver was reset) the tool says so. No reply comes when the\n"
     "    counter cannot be read (exit status 4).\n"
     "    With limits the count, read as a signed 32-bit number, is checked\n"
     "    against them: the step ends PASS or FAIL (exit status 1).\n"),
    wire(CMD_START_CYC_TX, txOn, {}, kPlanStep, ReplyView::Ok,
     "start / stop continuous transmission", "start continuous transmission",
     "    Sends request 0x99: the agent starts the packet engine over and over\n"
     "    until stop-cyc-tx. It sends no reply when it cannot start (exit\n"
     "    status 4).\n"),
    wire(CMD_STOP_CYC_TX, txOff, {}, kPlanStep, ReplyView::Ok,
     nullptr, "stop continuous transmission",
     "    Sends request 0x9A. The agent sends no reply when it cannot stop the\n"
     "    transmission (exit status 4).\n"),
    wire(CMD_INIT_PA_DATAFILE, nullptr, {}, kPlanStep, ReplyView::Ok,
     "start a new PA data file", "start a new PA data file",
     "    Sends request 0x91. Send it before the pa-write commands of a unit:\n"
     "    each write appends to the file and hands the whole file to the NVRAM\n"
     "    update tool.\n"),
    wire(CMD_READ_PA_PARAMS, nullptr, kPaReadArgs, kRetrySafe | kPlanStep, ReplyView::Coefficients,
     "print a chain's three PA coefficients", "print a chain's PA coefficients",
     "    Sends request 0x92 for CHAIN (0 or 1). Each coefficient is printed as\n"
     "    the agent sent it, in decimal and hexadecimal, and as the signed\n"
     "    16-bit number its low 16 bits hold (65164, 0x0000fe8c, -372).\n"
     "    With limits each coefficient, as the signed 16-bit number, is checked\n"
     "    against them (pa1, pa2, pa3): the step ends PASS or FAIL (exit\n"
     "    status 1).\n",
     "    rfprobe pa-read 0 --pa1 -400..-350 --pa2 6000..7000 --pa3 -1600..-1400\n"),
    wire(CMD_WRITE_PA_PARAMS, nullptr, kPaWriteArgs, kPlanStep, ReplyView::Ok,
     "set a chain's PA coefficients", "set a chain's PA coefficients",
     "    Sends request 0x93: the agent sets the coefficients in the radio,\n"
     "    appends them to the PA data file and runs the NVRAM update tool.\n"
     "    CHAIN is 0 or 1. Each coefficient is a signed 16-bit number,\n"
     "    -32768..32767, or its 16-bit pattern in hex as pa-read shows it\n"
     "    (0xfe8c, also 0xfffffe8c).\n",
     "    rfprobe pa-write 0 -372 418 0\n"),
    wire(CMD_SAVE_PA_PARAMS, nullptr, {}, kPlanStep, ReplyView::Ok,
     "save both chains' coefficients to NVRAM", "save both chains' PA coefficients to NVRAM",
     "    Sends request 0x9C: the agent writes the current coefficients of both\n"
     "    chains to NVRAM.\n"),
    wire(CMD_FINISH_TEST, nullptr, {}, kPlanStep, ReplyView::Ok,
     "mark the unit tested; the agent exits", "finish the test",
     "    Sends request 0x9B: the agent marks the unit as tested, replies and\n"
     "    exits.\n"),
    wire(-1, nullptr, kRawArgs, kPlanStep, ReplyView::Fields,
     "send any request code", "send any request code",
     "    Sends a request with code CODE (0..255, or a command word) and the given\n"
     "    fields; fields not given are 0. Prints every field of the reply. A code\n"
     "    without a command gets no reply (exit status 4).\n",
     "    rfprobe raw 0x82 --byte 6\n"),
};

constexpr bool sameText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Every row of the command table has exactly one step here, and every
// step but raw stands for a row.
constexpr bool everyRowDescribedOnce() {
    for (const Row &r : kRows) {
        int n = 0;
        for (const StepDef &s : kWire)
            if (s.cmd.code == r.code) ++n;
        if (n != 1) return false;
    }
    for (const StepDef &s : kWire)
        if (!s.cmd.word || (s.cmd.code >= 0 && !rowFor(s.cmd.code))) return false;
    return true;
}
static_assert(everyRowDescribedOnce(),
              "every command in proto/testmsg.h needs exactly one wire step");

// A reply read as three coefficients is a parameter reply, and only it.
constexpr bool viewsMatchReplyForms() {
    for (const StepDef &s : kWire)
        if (s.cmd.code >= 0 && (s.cmd.view == ReplyView::Coefficients) != (rowFor(s.cmd.code)->form == kReplyParams))
            return false;
    return true;
}
static_assert(viewsMatchReplyForms(), "a parameter reply is read as three coefficients");

// Limits exactly where the reply measures something; no typed arguments
// (a wire step's arguments are its request's fields).
constexpr bool limitsWhereMeasured() {
    for (const StepDef &s : kWire) {
        bool limits = false;
        for (const ArgDef &a : s.cmd.args) {
            if (a.isLimit()) limits = true;
            if (a.field == Field::Slot || a.conv == Conv::Text) return false;
            if (a.isLimit() && a.field != Field::StopOnFail && a.lo >= kMaxMeasured) return false;
        }
        if (limits != (s.measureCount > 0) || s.cmd.args.count > kMaxCommandArgs) return false;
    }
    return true;
}
static_assert(limitsWhereMeasured(), "limits belong to the wire commands that measure");

}  // namespace

extern const StepDef *const kWireSteps = kWire;
extern const size_t kWireStepCount = sizeof kWire / sizeof kWire[0];

}  // namespace station
