// rfprobe station: the descriptors of every sub-command.
//
// A new request code gets its row in proto/testmsg.h and one descriptor
// here; the build stops until every row has one.
#include "station/command.h"
#include "station/common_args.h"
#include "station/run.h"
#include "station/step.h"

#include <cstring>
#include <vector>

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
// running it sends the request with its code on a link of its own.
#define WIRE(code) wireWord(code), ActionKind::Send, code, runOnLink

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

// Limits: only on commands whose reply measures something (Command::measures).
constexpr ArgDef kCountMin = {"--min", "N", "--min", Conv::Limit, Field::Low, false, 0, 0,
                               "lowest received count that passes", nullptr,
                               kLimits};
constexpr ArgDef kCountMax = {"--max", "N", "--max", Conv::Limit, Field::High, false, 0, 0,
                               "highest received count that passes", nullptr, kLimits};
constexpr ArgDef kStopRxArgs[] = {kCountMin, kCountMax, kStopOnFail};
constexpr ArgDef kRxArgs[] = {
    kRate,
    kBandwidth,
    {"--seconds", "S", "seconds", Conv::Seconds, Field::WaitMs, true, 0, 0,
     "time to receive, 0..86400, up to 3 decimals"},
    kCountMin,
    kCountMax,
    kStopOnFail,
};
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
// Records of a plan run, and the results store: kept as text here and read
// by the records layer, which checks them before anything is sent.
constexpr const char *kRecordOpts = "RECORD OPTIONS";
constexpr const char *kFilters = "FILTERS";
constexpr ArgDef kStoreArg = {"--store", "URL", "--store", Conv::Text, Field::Text, false, 0, 0,
                               "the results store: an SQLite file (PATH or sqlite:PATH)\n"
                               "or postgresql://...; default $RFPROBE_STORE, else\n"
                               "./rfprobe-results.db"};
constexpr ArgDef kSpoolArg = {"--spool", "PATH", "--spool", Conv::Text, Field::Text, false, 0, 0,
                               "the SQLite file that keeps records while a PostgreSQL\n"
                               "store cannot be reached; default $RFPROBE_SPOOL, else\n"
                               "./rfprobe-spool.db"};
constexpr ArgDef kRunArgs[] = {
    {nullptr, "PLAN", "plan", Conv::Path, Field::Path, true},
    {"--dut", "SERIAL", "--dut", Conv::Text, Field::Text, false, 0, 0,
     "record the run as a test of the unit SERIAL"},
    {"--unit", "IF=SERIAL", "--unit", Conv::Text, Field::Text, false, 0, 0,
     "test the unit SERIAL on interface IF; once per unit:\n"
     "the units run at once, each with its own record",
     nullptr, nullptr, true},
    {"--fixture", "FILE", "--fixture", Conv::Text, Field::Text, false, 0, 0,
     "the station's fixture: the tester and each unit's port and\n"
     "path loss (docs/tester.md); default $RFPROBE_FIXTURE.\n"
     "Needed by tx-measure and rx-per"},
    {"--station", "NAME", "--station", Conv::Text, Field::Text, false, 0, 0,
     "station name; default $RFPROBE_STATION, else the host name",
     nullptr, kRecordOpts},
    {"--operator", "NAME", "--operator", Conv::Text, Field::Text, false, 0, 0,
     "who runs the test; default $RFPROBE_OPERATOR, else empty", nullptr, kRecordOpts},
    {"--meta", "KEY=VALUE", "--meta", Conv::Text, Field::Text, false, 0, 0,
     "free metadata (fixture, lot...); once per key", nullptr, kRecordOpts, true},
    {kStoreArg.option, kStoreArg.metavar, kStoreArg.what, Conv::Text, Field::Text, false, 0, 0,
     kStoreArg.help, nullptr, kRecordOpts},
    {kSpoolArg.option, kSpoolArg.metavar, kSpoolArg.what, Conv::Text, Field::Text, false, 0, 0,
     kSpoolArg.help, nullptr, kRecordOpts},
    {"--json-record", "FILE", "--json-record", Conv::Text, Field::Text, false, 0, 0,
     "also write each record to FILE as a JSON document;\n"
     "with several units FILE must hold {serial}",
     nullptr, kRecordOpts},
    {"--junit", "FILE", "--junit", Conv::Text, Field::Text, false, 0, 0,
     "also write the records to FILE as JUnit XML", nullptr, kRecordOpts},
    {"--require-golden", "HOURS", "--require-golden", Conv::Text, Field::Text, false, 0, 0,
     "run a unit only on a tester port whose last golden check\n"
     "in the store passed within HOURS (docs/tester.md)",
     nullptr, kRecordOpts},
};
constexpr ArgDef kSyncArgs[] = {kStoreArg, kSpoolArg};
constexpr ArgDef kServeArgs[] = {
    {"--plan", "PLAN", "--plan", Conv::Path, Field::Path, true, 0, 0,
     "the plan every unit runs"},
    {"--unit", "IF[=LABEL]", "--unit", Conv::Text, Field::Text, false, 0, 0,
     "a unit on interface IF, called LABEL on the page (default\n"
     "IF); once per unit, each on its own interface",
     nullptr, nullptr, true},
    {"--listen", "ADDR:PORT", "--listen", Conv::Text, Field::Text, false, 0, 0,
     "where the page is served; default 127.0.0.1:8080 (port 0:\n"
     "any free port). Any other address than 127.0.0.1 needs\n"
     "the token",
     nullptr, "ACCESS"},
    {"--token-file", "FILE", "--token-file", Conv::Text, Field::Text, false, 0, 0,
     "the token (its first line, 16 or more printable\n"
     "characters); default: a new one, printed at start",
     nullptr, "ACCESS"},
    // run's --fixture, then its record options: --station, --operator,
    // --meta, --store, --spool
    kRunArgs[3],
    kRunArgs[4],
    kRunArgs[5],
    kRunArgs[6],
    kRunArgs[7],
    kRunArgs[8],
    kRunArgs[11],
};
constexpr ArgDef kFixtureCalArgs[] = {
    {"--fixture", "FILE", "--fixture", Conv::Text, Field::Text, false, 0, 0,
     "the fixture whose loss table is rewritten; default\n$RFPROBE_FIXTURE"},
    {"--reference", "FILE", "--reference", Conv::Text, Field::Text, false, 0, 0,
     "the golden unit's reference file (docs/tester.md)"},
    {"--unit", "IF=SERIAL", "--unit", Conv::Text, Field::Text, false, 0, 0,
     "the golden unit: its interface (its fixture port) and serial"},
    {"--plan", "PLAN", "--plan", Conv::Text, Field::Text, false, 0, 0,
     "a plan the line runs: its channels are measured; once per\nplan",
     nullptr, nullptr, true},
};
constexpr ArgDef kReportArgs[] = {
    kStoreArg,
    {"--plan", "NAME", "--plan", Conv::Text, Field::Text, false, 0, 0,
     "only records of this plan (its file name)", nullptr, kFilters},
    {"--serial", "SERIAL", "--serial", Conv::Text, Field::Text, false, 0, 0,
     "only records of this unit", nullptr, kFilters},
    {"--station", "NAME", "--station", Conv::Text, Field::Text, false, 0, 0,
     "only records of this station", nullptr, kFilters},
    {"--since", "DAY", "--since", Conv::Text, Field::Text, false, 0, 0,
     "only records started on DAY (YYYY-MM-DD, in the report's\ntime zone) or later",
     nullptr, kFilters},
    {"--until", "DAY", "--until", Conv::Text, Field::Text, false, 0, 0,
     "only records started on DAY or earlier", nullptr, kFilters},
    {"--tz", "ZONE", "--tz", Conv::Text, Field::Text, false, 0, 0,
     "count days in the time zone ZONE (Europe/Berlin, UTC...);\n"
     "default: the PC's time zone"},
    {"--csv", "FILE", "--csv", Conv::Text, Field::Text, false, 0, 0,
     "write the steps and measurements of the records to FILE\n"
     "as CSV instead ('-': standard output)"},
    {"--html", "FILE", "--html", Conv::Text, Field::Text, false, 0, 0,
     "write the report to FILE as one self-contained HTML page\n"
     "with charts instead ('-': standard output)"},
    {"--statement-timeout", "S", "--statement-timeout", Conv::Text, Field::Text, false, 0, 0,
     "PostgreSQL: end a query of the report after S seconds\n"
     "(default 300; a station's writes get 5 s)"},
};
constexpr ArgDef kSleepArgs[] = {
    {nullptr, "S", "sleep", Conv::Seconds, Field::WaitMs, true, 0, 0, nullptr, "SECONDS"}};

// ---- the descriptors, in the order of the manual --------------------------
//
// Columns: word, kind, code and handler; arguments; flags; reply view; then
// the manual: listing, NAME line, description, example.

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
    {WIRE(CMD_STOP_RX), kStopRxArgs, kPlanStep, ReplyView::Count,
     "stop it and print the received count", "stop a receive test and print the count",
     "    Sends request 0x98. The reply's value1 is how far the receive counter\n"
     "    advanced since start-rx, modulo 2^32. It is printed unsigned; when it\n"
     "    is negative as a signed 32-bit number (the counter went down, e.g.\n"
     "    the driver was reset) the tool says so. No reply comes when the\n"
     "    counter cannot be read (exit status 4).\n"
     "    With limits the count, read as a signed 32-bit number, is checked\n"
     "    against them: the step ends PASS or FAIL (exit status 1).\n"},
    {"rx", ActionKind::Rx, CMD_START_RX, runOnLink, kRxArgs, kPlanStep, ReplyView::Ok,
     "start-rx, wait S seconds, stop-rx", "run a timed receive test",
     "    Sends start-rx, waits S seconds, sends stop-rx and prints the received\n"
     "    count. Stops with exit status 4 if start-rx gets no reply. Interrupted\n"
     "    during the wait, it still sends stop-rx, then exits with status 130.\n"
     "    With limits the count, read as a signed 32-bit number, is checked\n"
     "    against them: the step ends PASS or FAIL (exit status 1).\n",
     "    rfprobe rx --rate 15 --bw 40 --seconds 2 --min 3800 --max 4200\n"},
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
     "    16-bit number its low 16 bits hold (65164, 0x0000fe8c, -372).\n"
     "    With limits each coefficient, as the signed 16-bit number, is checked\n"
     "    against them (pa1, pa2, pa3): the step ends PASS or FAIL (exit\n"
     "    status 1).\n",
     "    rfprobe pa-read 0 --pa1 -400..-350 --pa2 6000..7000 --pa3 -1600..-1400\n"},
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
    {"raw", ActionKind::Send, -1, runOnLink, kRawArgs, kPlanStep, ReplyView::Fields,
     "send any request code", "send any request code",
     "    Sends a request with code CODE (0..255, or a command word) and the given\n"
     "    fields; fields not given are 0. Prints every field of the reply. A code\n"
     "    without a command gets no reply (exit status 4).\n",
     "    rfprobe raw 0x82 --byte 6\n"},
    {"listen", ActionKind::Listen, -1, listenCommand, {}, 0, ReplyView::Fields,
     "print every reply seen until interrupted", "print every reply",
     "    Sends nothing. Prints every test reply seen on UDP port 1062 until\n"
     "    interrupted (exit status 0). With -v, also notes packets without the\n"
     "    magic.\n"},
    {"run", ActionKind::Run, -1, runPlanCommand, kRunArgs, 0, ReplyView::Ok,
     "run a test plan file ('-': standard input)", "run a test plan",
     "    Reads PLAN ('-' for standard input): one command per line, written as\n"
     "    on the command line without 'rfprobe' and without station options.\n"
     "    A word starting with # begins a comment; blank lines are skipped.\n"
     "    The whole plan is checked first: a bad line stops it before anything\n"
     "    is sent (exit status 2). The commands then run in order. A step that\n"
     "    gets no reply or meets a socket error stops the plan, names the line\n"
     "    and sets the exit status (4, 3); so does an interrupt (130). run,\n"
     "    listen, sync and report cannot be used inside a plan.\n"
     "\n"
     "    Steps of rx, stop-rx and pa-read may carry limits (rfprobe rx --help,\n"
     "    rfprobe pa-read --help); such a step ends PASS or FAIL and prints a\n"
     "    line saying so. A failed step stops the plan only with\n"
     "    --stop-on-fail; put it on the checks that must pass before pa-save\n"
     "    or finish. A plan with limits ends with its verdict: FAIL if a step\n"
     "    failed, else ERROR if a step got no reply or an error, else PASS.\n"
     "    Exit status 1 means FAIL.\n"
     "\n"
     "    Steps that need the line's RF tester (tx-measure, rx-per) take it\n"
     "    from --fixture FILE, else $RFPROBE_FIXTURE: the tester's resource and\n"
     "    profile, and per unit interface its tester port and path loss\n"
     "    (docs/tester.md). A plan with such steps and no fixture entry for the\n"
     "    unit is refused before anything is sent (exit status 2); a tester\n"
     "    that fails makes the step ERROR (exit status 6). Units of one run\n"
     "    share the tester, one at a time in the order they asked.\n"
     "\n"
     "    --dut SERIAL records the run: one record for the unit (station,\n"
     "    operator, metadata, the plan's file name and SHA-256, and per step the\n"
     "    request, the reply, the measurements, limits, verdict and duration),\n"
     "    written to the results store in one transaction. When a PostgreSQL\n"
     "    store cannot be reached the record is kept in the spool (rfprobe sync\n"
     "    uploads it later). --unit IF=SERIAL, once per unit, tests several\n"
     "    units at once, each in its own thread on its own interface, each with\n"
     "    its own record. Two units on one interface are refused: every unit\n"
     "    answers with the same broadcast from the same address, so only the\n"
     "    interface tells them apart. On a terminal a line per unit shows its\n"
     "    step and verdict as it runs (otherwise one line per finished step);\n"
     "    at the end a table lists every unit with its verdict. Serials and\n"
     "    station names are 1-64 of A-Z a-z 0-9 - _ . (docs/records.md).\n"
     "    With records, exit status 5 means a record could be neither stored\n"
     "    nor spooled; with several units the status is the worst of them\n"
     "    (5, 130, 1, 3 or 4, 0 in this order).\n",
     "    # line 3, transmit check\n"
     "    enter-test-mode\n"
     "    set-channel 6 --retries 2\n"
     "    set-antenna 0\n"
     "    set-tx --rate 0 --bw 20 --power 17.5\n"
     "    start-tx\n"
     "    sleep 2\n"
     "    stop-tx\n"
     "    rx --rate 15 --bw 40 --seconds 2 --min 3800 --max 4200 --stop-on-fail\n"},
    {"serve", ActionKind::Serve, -1, nullptr, kServeArgs, kNeedsStore, ReplyView::Ok,
     "the operator page: scan, watch, PASS or FAIL", "serve the operator page",
     "    Serves a web page for the line's operator: one panel per unit. A\n"
     "    serial scanned (or typed, then Enter) into a unit's field starts PLAN\n"
     "    on that unit; the panel shows each step with its values and limits as\n"
     "    it runs, then a big PASS, FAIL or ERROR that stays until the next\n"
     "    scan. Stop ends a unit's run as Ctrl-C ends run's (the record is\n"
     "    ERROR). The page lists the last units and their verdicts.\n"
     "    Each run is the run of rfprobe run --unit IF=SERIAL: the same record,\n"
     "    store and spool. Tester steps (tx-measure, rx-per, pa-cal) take the\n"
     "    tester from --fixture FILE, else $RFPROBE_FIXTURE, as run's do, and\n"
     "    the units share it; a plan with such steps and no fixture entry for\n"
     "    a unit is refused at start (exit status 2). Serials are checked as\n"
     "    on the command line; a bad one, or a scan on a unit that is still\n"
     "    testing, is refused with a message on the panel and nothing is sent. A page that is closed or\n"
     "    reloaded loses nothing: the runs go on and the page shows them again.\n"
     "    The page listens on 127.0.0.1 unless --listen says otherwise; on any\n"
     "    other address every request must carry the token, which the printed\n"
     "    address holds. Ctrl-C (SIGTERM, SIGHUP) ends every run, keeps its\n"
     "    record and ends serve with exit status 130 (5 when a record could be\n"
     "    neither stored nor spooled).\n",
     "    rfprobe serve --plan line3.plan --unit eth1=A --unit eth2=B\n"},
    {"fixture-cal", ActionKind::Run, -1, nullptr, kFixtureCalArgs, kNeedsStore, ReplyView::Ok,
     "measure a port's path loss with the golden unit", "calibrate a fixture port's path loss",
     "    With the line's golden unit in the port of interface IF, measures\n"
     "    the path loss at every channel the plans set (set-channel) and\n"
     "    writes it as that port's loss table in the fixture file, keeping the\n"
     "    file's other units, its tester and its comments. The golden unit\n"
     "    sends the powers of its reference file on each channel and chain;\n"
     "    the tester reads them through the cable with no loss applied, and\n"
     "    the loss is the reference's output minus the reading, averaged.\n"
     "    Refused before anything is sent (exit status 2), with the file and\n"
     "    line: a reference without a channel a plan sets, a serial that is not\n"
     "    the reference's, a fixture without the unit, or one that cannot be\n"
     "    replaced atomically (a link, a directory that is not writable). The\n"
     "    new file is written beside the old one, flushed and renamed over it:\n"
     "    a crash leaves one or the other. A tester failure leaves the file as\n"
     "    it was (exit status 6). Run the golden check afterwards.\n",
     "    rfprobe fixture-cal --fixture line3.toml --reference g1.toml --unit eth1=G1 --plan line3.plan\n"},
    {"sleep", ActionKind::Sleep, -1, sleepCommand, kSleepArgs, kPlanStep, ReplyView::Ok,
     "wait S seconds (for plans)", "wait",
     "    Waits S seconds (0..86400, up to 3 decimals) and sends nothing. Meant\n"
     "    for plans.\n"},
    {"sync", ActionKind::Sync, -1, nullptr, kSyncArgs, kNeedsStore, ReplyView::Ok,
     "upload the records kept in the spool", "upload spooled records to the PostgreSQL store",
     "    Uploads every record that waits in the spool (records a run could\n"
     "    not write to the PostgreSQL store) to that store, oldest first, each\n"
     "    in one transaction, and marks it uploaded. Safe to repeat and to\n"
     "    interrupt: a record the server already has is only marked, never\n"
     "    counted twice. Prints how many were uploaded and how many still\n"
     "    wait. Exit status 0 when none waits any more, 5 when some could not\n"
     "    be uploaded or the server cannot be reached, 2 for a store that is\n"
     "    not postgresql://.\n",
     "    rfprobe sync --store postgresql://line3@db.factory/results\n"},
    {"report", ActionKind::Report, -1, nullptr, kReportArgs, kNeedsStore, ReplyView::Ok,
     "yield, failures and measured values", "report on the records in the results store",
     "    Reads the results store (SQLite or PostgreSQL) and prints the yield\n"
     "    per plan and day, the steps that failed or erred (most frequent\n"
     "    first), and per step the count, minimum, median and maximum of each\n"
     "    measured value. Days are those of the PC's time zone, or of --tz\n"
     "    ZONE; the report names the zone. With --csv, writes every step and\n"
     "    measurement of the chosen records as CSV instead. With --html, writes\n"
     "    one HTML page with charts instead: yield per day, first-pass and\n"
     "    final yield, the failing steps as a Pareto chart, per measurement a\n"
     "    histogram against its limits with n, mean, sigma and Cpk and a run\n"
     "    chart, and the cycle time per plan. Either FILE is replaced only\n"
     "    once complete; a device is written to. Exit status 2 when FILE's\n"
     "    directory is not there or not writable, 5 when the store cannot be\n"
     "    read or the file cannot be written.\n",
     "    rfprobe report --plan line3.plan --since 2024-05-01\n"
     "    rfprobe report --store postgresql://line3@db.factory/results --csv may.csv\n"
     "    rfprobe report --since 2024-05-01 --tz Europe/Berlin --html may.html\n"},
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

// Limits only where the reply measures something, and every measuring
// command takes them; record options only on the command line.
constexpr bool limitsWhereMeasured() {
    for (const Command &c : kCommands) {
        bool limits = false;
        for (const ArgDef &a : c.args) {
            if (a.isLimit()) limits = true;
            if (a.conv == Conv::Text && c.planStep()) return false;
            if (a.repeat && a.conv != Conv::Text) return false;
        }
        if (limits != (c.measures() != Measures::Nothing)) return false;
    }
    return true;
}
static_assert(limitsWhereMeasured(),
              "limits belong to the commands that measure, record options to the command line");

// Every command runs somewhere: its own handler, or the records layer's.
constexpr bool everyCommandRuns() {
    for (const Command &c : kCommands)
        if (!c.run != bool(c.flags & kNeedsStore)) return false;
    return true;
}
// Under the sanitizers GCC does not take a function pointer's test against
// null as a constant; the ordinary builds check it.
#ifndef __SANITIZE_ADDRESS__
static_assert(everyCommandRuns(), "a command needs a handler, or kNeedsStore and none");
#endif

constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

// The table with the steps of station/steps/ after run, put together once.
const std::vector<Command> &table() {
    static const std::vector<Command> all = [] {
        std::vector<Command> v;
        size_t n;
        const StepDef *const *steps = registeredSteps(&n);
        for (const Command &c : kCommands) {
            v.push_back(c);
            if (strcmp(c.word, "run") != 0) continue;
            for (size_t i = 0; i < n; ++i) {
                Command step = steps[i]->cmd;
                step.step = steps[i];
                v.push_back(step);
            }
        }
        return v;
    }();
    return all;
}

constexpr size_t kMaxCommands = kCommandCount + 32;

}  // namespace

bool Command::usesTester() const { return step && (step->needs & kNeedsTester); }

const Command *commands(size_t *count) {
    *count = table().size();
    return table().data();
}

const Command *findCommand(const char *word) {
    for (const Command &c : table())
        if (strcmp(c.word, word) == 0) return &c;
    return nullptr;
}

const Command *commandForCode(uint8_t code) {
    for (const Command &c : table())
        if (c.kind == ActionKind::Send && c.code == code) return &c;
    return nullptr;
}

const char *commandWord(uint8_t code) {
    const Command *c = commandForCode(code);
    return c ? c->word : nullptr;
}

namespace {
// Constant-initialised (all null) before any registration runs.
Handler gRecordHandlers[kMaxCommands];
}  // namespace

bool registerRecordHandler(const char *word, Handler h) {
    const Command *c = findCommand(word);
    if (!c || (size_t)(c - table().data()) >= kMaxCommands) return false;
    gRecordHandlers[c - table().data()] = h;
    return true;
}

Handler recordHandler(const Command &c) {
    size_t i = (size_t)(&c - table().data());
    return i < kMaxCommands ? gRecordHandlers[i] : nullptr;
}

}  // namespace station
