// rfprobe station: every sub-command, put together.
//
// The plan steps (station/steps/: the wire commands' and one file each)
// and the sub-commands that are not steps: listen, run, serve,
// fixture-cal, sync, report, archive and restore.  Their words are checked here at build
// time: two steps, or a step and a sub-command, of one word stop the build.
#include "station/args/command.h"
#include "station/runner/run.h"
#include "station/step/step.h"

#include <cstring>
#include <vector>

// The words of the files of station/steps/, written by the build.
#include "station_step_words.h"

namespace station {

namespace {

// ---- arguments of the sub-commands that are not steps --------------------

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
    {"--bus", "FILE", "--bus", Conv::Text, Field::Text, false, 0, 0,
     "the factory's message bus (docs/factory.md): the route\n"
     "check before each unit, and every record's messages;\n"
     "default $RFPROBE_BUS",
     nullptr, kRecordOpts},
};
constexpr ArgDef kSyncArgs[] = {kStoreArg, kSpoolArg,
    {"--bus", "FILE", "--bus", Conv::Text, Field::Text, false, 0, 0,
     "also send the bus outbox's messages to the broker FILE\n"
     "names (docs/factory.md); default $RFPROBE_BUS"}};
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
    kRunArgs[12],
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
constexpr ArgDef kArchiveArgs[] = {
    kStoreArg,
    {"--before", "DAY", "--before", Conv::Text, Field::Text, false, 0, 0,
     "archive the records started before DAY (YYYY-MM-DD, UTC);\nneeded"},
    {"--to", "FILE", "--to", Conv::Text, Field::Text, false, 0, 0,
     "the archive to write: a new file (zstd-compressed JSON\nlines); needed"},
};
constexpr ArgDef kRestoreArgs[] = {
    {nullptr, "FILE", "archive file", Conv::Path, Field::Path, true},
    kStoreArg,
};

// ---- the sub-commands that are not steps, in the order of the manual -----
//
// Columns: word, kind, code and handler; arguments; flags; reply view; then
// the manual: listing, NAME line, description, example.

constexpr Command kVerbs[] = {
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
    {"archive", ActionKind::Archive, -1, nullptr, kArchiveArgs, kNeedsStore, ReplyView::Ok,
     "move old records from the store to a file", "move old records from the results store to a file",
     "    Writes every record started before DAY (00:00 UTC) to FILE, one JSON\n"
     "    document a line as the station's JSON record (--json-record), the\n"
     "    whole compressed with zstd; reads the file back and compares every\n"
     "    record with the store's digest; only then deletes those records\n"
     "    from the store, in one transaction. PostgreSQL drops the months\n"
     "    that lie wholly before DAY; an SQLite file is compacted. The newest\n"
     "    golden check of each tester port stays for the lock-out. FILE must\n"
     "    not exist. Any failure before the delete removes FILE and leaves the\n"
     "    store as it was; records that reach the store meanwhile with an\n"
     "    earlier start stop the delete. Prints the records archived, the\n"
     "    records per second and the store's size afterwards. A report over\n"
     "    the archived days says they are archived. Exit status 2 for a bad\n"
     "    day or an existing FILE, 5 when the store cannot be read or changed\n"
     "    or the file cannot be written.\n",
     "    rfprobe archive --store postgresql://line3@db.factory/results --before 2024-01-01 --to 2023.jsonl.zst\n"},
    {"restore", ActionKind::Archive, -1, nullptr, kRestoreArgs, kNeedsStore, ReplyView::Ok,
     "load an archive back into the store", "load archived records back into the results store",
     "    Reads every record of FILE (written by rfprobe archive) and checks\n"
     "    it before anything is written: a file that is cut short, corrupted\n"
     "    or holds a record that breaks the rules is refused (exit status 2)\n"
     "    with its line. Then writes the records in batches, one transaction\n"
     "    each; a record the store already has is left as it is, one with\n"
     "    other content under its id stops the restore (exit status 5; run\n"
     "    it again once resolved: what is in stays). Once all are back the\n"
     "    archive is no longer listed for reports. Restored golden checks do\n"
     "    not change which check the lock-out sees as a port's newest.\n",
     "    rfprobe restore --store postgresql://line3@db.factory/results 2023.jsonl.zst\n"},
};

// ---- one word, one sub-command ----------------------------------------------

constexpr bool sameText(const char *a, const char *b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

// Every word of the tool: the command table's rows (the wire steps), raw,
// the files of station/steps/ (their names, '_' as '-') and the
// sub-commands above.
constexpr const char *kStepWords[] = {
#define RFPROBE_STATION_WORD(code, name, word, need, run, form) word,
    RFPROBE_COMMANDS(RFPROBE_STATION_WORD)
#undef RFPROBE_STATION_WORD
    "raw",
    RFPROBE_STEP_WORDS
};

constexpr size_t kStepWordCount = sizeof kStepWords / sizeof kStepWords[0];
constexpr size_t kVerbCount = sizeof kVerbs / sizeof kVerbs[0];

constexpr const char *word(size_t i) { return i < kStepWordCount ? kStepWords[i] : kVerbs[i - kStepWordCount].word; }

constexpr bool wordsUnique() {
    for (size_t i = 0; i < kStepWordCount + kVerbCount; ++i)
        for (size_t j = i + 1; j < kStepWordCount + kVerbCount; ++j)
            if (sameText(word(i), word(j))) return false;
    return true;
}
static_assert(wordsUnique(), "two steps, or a step and a sub-command, share a word");

// Limits only on steps, record options only on the command line; every
// sub-command runs somewhere: its own handler, or the records layer's.
constexpr bool verbsSound() {
    for (const Command &c : kVerbs) {
        for (const ArgDef &a : c.args)
            if (a.isLimit() || a.field == Field::Slot || (a.repeat && a.conv != Conv::Text)) return false;
        if (c.planStep() || c.args.count > kMaxCommandArgs) return false;
    }
    return true;
}
static_assert(verbsSound(), "limits and typed arguments belong to steps, record options to the command line");

constexpr bool everyCommandRuns() {
    for (const Command &c : kVerbs)
        if (!c.run != bool(c.flags & kNeedsStore)) return false;
    return true;
}
// Under the sanitizers GCC does not take a function pointer's test against
// null as a constant; the ordinary builds check it.
#ifndef __SANITIZE_ADDRESS__
static_assert(everyCommandRuns(), "a command needs a handler, or kNeedsStore and none");
#endif

// A step run from the command line: plan-only tester steps refuse, sleep
// needs no link, the others get one of their own.
Handler handlerOf(const StepDef &s) {
    if (s.needs & kNeedsTester) return testerStepAlone;
    if (s.cmd.flags & kNoAgent) return sleepCommand;
    return runOnLink;
}

// The steps (wire, then the files of station/steps/), then the
// sub-commands above; put together once.
const std::vector<Command> &table() {
    static const std::vector<Command> all = [] {
        std::vector<Command> v;
        size_t n;
        const RegisteredStep *steps = registeredSteps(&n);
        for (size_t i = 0; i < n; ++i) {
            Command c = steps[i].def->cmd;
            c.word = steps[i].word;
            c.run = handlerOf(*steps[i].def);
            c.step = steps[i].def;
            v.push_back(c);
        }
        v.insert(v.end(), kVerbs, kVerbs + kVerbCount);
        return v;
    }();
    return all;
}

constexpr size_t kMaxCommands = kStepWordCount + kVerbCount;

}  // namespace

bool Command::usesTester() const { return step && (step->needs & kNeedsTester); }

Measures Command::measures() const {
    if (!step || step->measureCount == 0) return Measures::Nothing;
    if (kind != ActionKind::Send) return Measures::Step;
    return view == ReplyView::Count ? Measures::Count : Measures::Coefficients;
}

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
