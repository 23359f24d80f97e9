// The records layer of the station: the checks of a recorded run's options
// (everything refused here is refused before anything is sent or written)
// and the record steps made from what the station saw.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "line/golden.h"
#include "line/line.h"
#include "results/export.h"
#include "station_test_util.h"

using namespace station;

namespace {

struct Try {
    bool ok = false;
    line::Setup setup;
    std::string error;
};

Try setupOf(std::initializer_list<const char *> words, std::map<std::string, std::string> env = {},
            const char *iface = "") {
    // The action's text options point into these words.
    std::vector<std::string> storage(words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &w : storage) argv.push_back(&w[0]);
    Options opt;
    defaultOptions(&opt);
    snprintf(opt.iface, sizeof opt.iface, "%s", iface);
    Action act;
    char err[kErrLen] = "";
    Try t;
    ParseResult r = parseAction((int)argv.size(), argv.data(), &opt, &act, err, sizeof err);
    if (r != ParseResult::Ok) {
        t.error = err;
        return t;
    }
    try {
        t.setup = line::readSetup(opt, act, [&env](const char *name) -> const char * {
            auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        });
        t.ok = true;
    } catch (const results::InvalidInput &e) {
        t.error = e.what();
    }
    return t;
}

void expectRefused(std::initializer_list<const char *> words, const std::string &mention,
                   std::map<std::string, std::string> env = {}, const char *iface = "") {
    Try t = setupOf(words, env, iface);
    EXPECT_FALSE(t.ok) << mention;
    EXPECT_NE(t.error.find(mention), std::string::npos) << t.error;
}

TEST(LineSetup, OneUnitWithDefaultsFromTheEnvironment) {
    Try t = setupOf({"run", "p.plan", "--dut", "SN-0001.a", "--meta", "lot=2024-18", "--meta",
                     "fixture=F 12"},
                    {{"RFPROBE_STATION", "line3-st1"}, {"RFPROBE_OPERATOR", "Ana Lima"}}, "eth1");
    ASSERT_TRUE(t.ok) << t.error;
    ASSERT_EQ(t.setup.units.size(), 1u);
    EXPECT_EQ(t.setup.units[0].iface, "eth1");
    EXPECT_EQ(t.setup.units[0].serial, "SN-0001.a");
    EXPECT_FALSE(t.setup.parallel);
    EXPECT_EQ(t.setup.station, "line3-st1");
    EXPECT_EQ(t.setup.operatorName, "Ana Lima");
    EXPECT_EQ(t.setup.metadata, (std::map<std::string, std::string>{{"fixture", "F 12"},
                                                                    {"lot", "2024-18"}}));
    EXPECT_EQ(t.setup.store, line::kDefaultStore);

    // The command line wins over the environment.
    t = setupOf({"run", "p.plan", "--dut", "SN1", "--station", "st2", "--operator", "", "--store",
                 "sqlite:x.db"},
                {{"RFPROBE_STATION", "line3-st1"}, {"RFPROBE_OPERATOR", "Ana"},
                 {"RFPROBE_STORE", "postgresql:///results"}});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.setup.station, "st2");
    EXPECT_EQ(t.setup.operatorName, "");
    EXPECT_EQ(t.setup.store, "sqlite:x.db");

    t = setupOf({"run", "p.plan", "--dut", "SN1"},
                {{"RFPROBE_STORE", "postgresql:///results"}, {"RFPROBE_SPOOL", "/tmp/sp.db"}});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.setup.spool, "/tmp/sp.db");

    // The spool is the outbox of an SQLite store too.
    t = setupOf({"run", "p.plan", "--dut", "SN1", "--store", "x.db", "--spool", "/tmp/sp.db"});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.setup.spool, "/tmp/sp.db");
}

TEST(LineSetup, BadInputIsRefusedWithItsReason) {
    expectRefused({"run", "p.plan", "--dut", "SN 1"}, "serial");
    expectRefused({"run", "p.plan", "--dut", "SN/1"}, "may hold only letters");
    expectRefused({"run", "p.plan", "--dut", "-SN1"}, "must start with a letter or digit");
    expectRefused({"run", "p.plan", "--dut", ""}, "serial is empty");
    expectRefused({"run", "p.plan", "--store", "x.db"}, "name the unit with --dut");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--store", "mysql://db/x"}, "mysql://db/x");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--store", "postgresql://h/db?bogus=1"},
                  "does not parse");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--station", "line 3"}, "station name");
    expectRefused({"run", "p.plan", "--dut", "SN1"}, "--station or RFPROBE_STATION",
                  {{"RFPROBE_STATION", "st/1"}});
    expectRefused({"run", "p.plan", "--dut", "SN1", "--operator", "a\tb"}, "control character");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--meta", "lot"}, "KEY=VALUE");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--meta", "a b=1"}, "metadata key");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--meta", "a=1", "--meta", "a=2"}, "twice");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--spool", "postgresql://h/db"},
                  "must be a local SQLite file");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--store", "/no/such/dir/r.db"},
                  "cannot write in /no/such/dir");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--junit", "/no/such/dir/j.xml"},
                  "cannot write in");
    expectRefused({"run", "p.plan", "--dut", "SN1", "--dut", "SN2"}, "given twice");
}

TEST(LineSetup, SeveralUnitsEachOnItsOwnInterface) {
    Try t = setupOf({"run", "p.plan", "--unit", "lo=SN1"});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_TRUE(t.setup.parallel);
    ASSERT_EQ(t.setup.units.size(), 1u);
    EXPECT_EQ(t.setup.units[0].iface, "lo");

    expectRefused({"run", "p.plan", "--unit", "lo=SN1", "--unit", "lo=SN2"},
                  "two units on interface lo: every unit answers with the same broadcast from "
                  "the same address");
    expectRefused({"run", "p.plan", "--unit", "nosuch0=SN1"}, "there is no interface nosuch0");
    expectRefused({"run", "p.plan", "--unit", "SN1"}, "IF=SERIAL");
    expectRefused({"run", "p.plan", "--unit", "=SN1"}, "IF=SERIAL");
    expectRefused({"run", "p.plan", "--unit", "lo=SN#1"}, "serial");
    expectRefused({"run", "p.plan", "--unit", "lo=SN1", "--dut", "SN2"}, "either --dut");
    expectRefused({"run", "p.plan", "--unit", "lo=SN1"}, "each unit names its own interface", {},
                  "eth1");
    expectRefused({"run", "p.plan", "--unit", "lo=SN1", "--unit", "nosuch1=SN1"},
                  "serial SN1 is given for two units");
}

TEST(LineSetup, RecordFilesOfSeveralUnitsNameTheSerial) {
    EXPECT_EQ(line::forSerial("out/{serial}.json", "SN1"), "out/SN1.json");
    EXPECT_EQ(line::forSerial("{serial}-{serial}", "A"), "A-A");
    EXPECT_EQ(line::planName("/srv/plans/line3.plan"), "line3.plan");
    EXPECT_EQ(line::planName("-"), "stdin");
    EXPECT_TRUE(setupOf({"run", "p.plan", "--dut", "SN1", "--json-record", "r.json"}).ok);
    expectRefused({"run", "p.plan", "--unit", "lo=SN1", "--unit", "nosuch1=SN2", "--json-record",
                   "r.json"},
                  "must hold {serial}");
}

// What the station saw in an rx step with limits and in a step without a
// reply, made into record steps.
TEST(LineRecord, StepsFromWhatTheStationSaw) {
    Action rx = parseWords({"rx", "--rate", "15", "--bw", "40", "--seconds", "2", "--min", "950"},
                           false)
                    .action;
    PlanStep s{5, rx, {"--rate", "15", "--bw", "40", "--seconds", "2", "--min", "950"}};
    StepResult r{};
    r.exchangeCount = 2;
    r.exchanges[0] = {rx.req, true, {}, "192.168.1.1:1060", 1};
    r.exchanges[0].reply.cmdType = CMD_START_RX;
    r.exchanges[1].req.cmdType = CMD_STOP_RX;
    r.exchanges[1].replied = true;
    r.exchanges[1].reply.cmdType = CMD_STOP_RX;
    r.exchanges[1].reply.value1 = 12;
    r.exchanges[1].reply.value2 = 0x00070000;  // half 7
    snprintf(r.exchanges[1].from, sizeof r.exchanges[1].from, "192.168.1.1:1060");
    r.exchanges[1].attempts = 1;
    r.measuredCount = 1;
    r.measured[0] = {"count", 12, {true, false, 950, 0}, Verdict::Fail};
    r.verdict = Verdict::Fail;

    results::Step st = line::recordStep(s, r, "2024-05-01T10:00:00.100Z", 2.0105004);
    EXPECT_EQ(st.line, 5);
    EXPECT_EQ(st.command, "rx");
    EXPECT_EQ(st.args, s.args);
    ASSERT_EQ(st.exchanges.size(), 2u);
    EXPECT_EQ(st.exchanges[0].request.code, CMD_START_RX);
    EXPECT_EQ(st.exchanges[0].request.byteArg, 15);
    ASSERT_TRUE(st.exchanges[1].reply.has_value());
    EXPECT_EQ(st.exchanges[1].reply->value1, 12u);
    EXPECT_EQ(st.exchanges[1].reply->half, 7);
    EXPECT_EQ(st.exchanges[1].reply->from, "192.168.1.1");
    ASSERT_EQ(st.measurements.size(), 1u);
    EXPECT_EQ(st.measurements[0].low, 950);
    EXPECT_FALSE(st.measurements[0].high.has_value());
    EXPECT_EQ(st.durationS, 2.0105);  // to the microsecond
    EXPECT_EQ(line::describeStep(s, r), "line 5 rx: FAIL: count 12 below 950");

    // No reply: an exchange without one, and the error.
    Action ch = parseWords({"set-channel", "6", "--retries", "2"}, false).action;
    PlanStep c{3, ch, {"6", "--retries", "2"}};
    StepResult e{};
    e.status = kExitNoReply;
    e.verdict = Verdict::Error;
    e.exchangeCount = 1;
    e.exchanges[0] = {ch.req, false, {}, "", 3};
    snprintf(e.error, sizeof e.error, "set-channel (0x82): no reply within 2000 ms");
    results::Step es = line::recordStep(c, e, "2024-05-01T10:00:00.000Z", 6.0);
    EXPECT_FALSE(es.exchanges[0].reply.has_value());
    EXPECT_EQ(es.exchanges[0].attempts, 3u);
    EXPECT_EQ(es.error, e.error);
    EXPECT_EQ(line::describeStep(c, e),
              "line 3 set-channel: ERROR: set-channel (0x82): no reply within 2000 ms");

    // Together they make a record the store accepts, FAIL as the station said.
    results::Record rec;
    rec.id = results::newRecordId();
    rec.serial = "SN1";
    rec.station = "st1";
    rec.planName = "p.plan";
    rec.planSha256 = results::sha256Hex("plan");
    rec.startedAt = "2024-05-01T10:00:00.000Z";
    rec.endedAt = "2024-05-01T10:00:08.000Z";
    rec.steps = {st, es};
    results::applyVerdicts(&rec);
    EXPECT_NO_THROW(results::validateRecord(rec));
    EXPECT_EQ(rec.verdict, results::Verdict::Fail);
    EXPECT_EQ(rec.steps[1].verdict, results::Verdict::Error);
}

// A tester's text in a record: its identity (a Latin-1 byte; longer than a
// record holds and cut inside a character) and its message in a step's
// error, with a TAB, cut by snprintf inside a character.  The store takes
// the record, the text as readable as the tester sent it.
TEST(LineRecord, TesterTextNeverCostsTheRecord) {
    std::string e200;
    for (int i = 0; i < 200; i++) e200 += "\xc3\xa9";
    struct Case {
        std::string idn, message;
        std::string wantIdn, wantErrorStart;
    } cases[] = {
        {"Maker,Model \xb0" "C,1,2", "SENS:FREQ 2437: -100,\"Command\terror\"", "Maker,Model \xc2\xb0" "C,1,2",
         "SENS:FREQ 2437: -100,\"Command error\""},
        {std::string(1023, 'a') + "\xc3\xa9", "x\t" + e200, std::string(1023, 'a'), "x \xc3\xa9"},
        {"", "", "(did not answer)", "error"},
    };
    Action ch = parseWords({"tx-measure", "6"}, false).action;
    for (const Case &c : cases) {
        StepResult r{};
        r.verdict = Verdict::Error;
        snprintf(r.error, sizeof r.error, "%s", c.message.c_str());
        results::Record rec;
        rec.id = results::newRecordId();
        rec.serial = "SN1";
        rec.station = "st1";
        rec.planName = "p.plan";
        rec.planSha256 = results::sha256Hex("plan");
        rec.startedAt = "2024-05-01T10:00:00.000Z";
        rec.endedAt = "2024-05-01T10:00:08.000Z";
        rec.metadata[line::kTesterIdnKey] = line::testerIdnText(c.idn);
        rec.steps = {line::recordStep(PlanStep{3, ch, {"6"}}, r, "2024-05-01T10:00:00.000Z", 6.0)};
        results::applyVerdicts(&rec);
        EXPECT_NO_THROW(results::validateRecord(rec)) << c.message.substr(0, 40);
        EXPECT_EQ(rec.metadata[line::kTesterIdnKey], c.wantIdn);
        EXPECT_EQ(rec.steps[0].error.rfind(c.wantErrorStart, 0), 0u) << rec.steps[0].error;
    }
}

}  // namespace

// ---- the golden unit ----------------------------------------------------------

namespace {

// A reference file is refused with its file, line and key, so that the
// one who wrote it finds the mistake.
TEST(GoldenReference, MistakesNameFileLineAndKey) {
    const std::string ok = "[[channel]]\nchannel = 6\nsensitivity = -95.5\nchain0 = [[9, 9.1], [17, 16.8]]\n";
    const std::string head = "serial = \"G1\"\nsource = \"bench 4, 2026-12-01\"\n";
    struct Case {
        std::string text;
        const char *says;
    } cases[] = {
        {"source = \"x\"\n" + ok, "g.toml: serial: missing"},
        {"serial = \"G 1\"\nsource = \"x\"\n" + ok, "g.toml:1: serial: "},
        {"serial = \"G1\"\n" + ok, "source: missing"},
        {head, "channel: missing"},
        {head + "[[channel]]\nchannel = 6\nchain0 = [[9, 9.1]]\n", "g.toml:3: channel[0].sensitivity: missing"},
        {head + "[[channel]]\nchannel = 6\nsensitivity = -95\n", "g.toml:3: channel[0].chain0: missing"},
        {head + "[[channel]]\nchannel = 6\nsensitivity = -95\nchain0 = [[9.05, 9.1]]\n",
         "g.toml:6: channel[0].chain0[0]: the set power must be 5..21 dBm"},
        {head + "[[channel]]\nchannel = 6\nsensitivity = -95\nchain1 = [[9, \"9\"]]\n",
         "g.toml:6: channel[0].chain1[0]: must be a pair"},
        {head + "[[channel]]\nchannel = 6\nbw = 30\nsensitivity = -95\nchain0 = [[9, 9]]\n",
         "g.toml:5: channel[0].bw: must be 20, 40, 80 or 160"},
        {head + ok + ok, "g.toml:7: channel[1].channel: channel 6 is given twice"},
        {head + ok + "chain2 = []\n", "channel[0].chain2: unknown key"},
    };
    for (const Case &c : cases) {
        station::GoldenReference ref;
        std::string err;
        EXPECT_FALSE(line::parseGoldenReference(c.text, "g.toml", &ref, &err)) << c.says;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    station::GoldenReference ref;
    std::string err;
    ASSERT_TRUE(line::parseGoldenReference(head + ok, "g.toml", &ref, &err)) << err;
    ASSERT_NE(ref.find(6), nullptr);
    EXPECT_EQ(ref.find(6)->chains[0].size(), 2u);
    EXPECT_EQ(ref.find(6)->line, 3);
    EXPECT_EQ(ref.find(1), nullptr);
}

struct Written {
    std::string station, kind, port;
    Verdict verdict;
    double hoursAgo;
};

results::Record checkRecord(const Written &w) {
    using namespace std::chrono;
    int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    results::Record r;
    r.id = results::newRecordId();
    r.serial = "G1";
    r.station = w.station;
    r.planName = "golden.plan";
    r.planSha256 = results::sha256Hex("golden-check");
    r.startedAt = r.endedAt = results::formatUtc(now - (int64_t)(w.hoursAgo * 3600000));
    if (!w.kind.empty()) r.metadata = {{"kind", w.kind}, {"fixture_port", w.port}};
    results::Step s;
    s.line = 2;
    s.command = "golden-check";
    s.startedAt = r.startedAt;
    results::Measurement m;
    m.name = "power_diff";
    m.value = w.verdict == Verdict::Pass ? 0.1 : 1.1;
    m.low = -0.3, m.high = 0.3;
    m.verdict = s.verdict = r.verdict = w.verdict;
    s.measurements = {m};
    r.steps = {s};
    return r;
}

// The lock-out reads the port's last golden check on this station: only
// a passed check within the hours unlocks it, whatever came before it;
// another port's, another station's or a record of another kind never does.
TEST(GoldenLock, OnlyTheLastCheckOfThePortWithinTheHoursUnlocksIt) {
    const Verdict P = Verdict::Pass, F = Verdict::Fail;
    struct Case {
        std::vector<Written> records;
        const char *says;  // "": unlocked
    } cases[] = {
        {{}, "port 1 (stn0) is locked: no golden check of this port on station st1"},
        {{{"st1", "golden", "1", P, 1}}, ""},
        {{{"st1", "golden", "1", P, 10}}, "passed 10.0 h ago, more than --require-golden 8 h"},
        {{{"st1", "golden", "1", P, 2}, {"st1", "golden", "1", F, 1}}, "golden unit G1, record "},
        {{{"st1", "golden", "1", P, 2}, {"st1", "golden", "1", F, 1}}, ") is FAIL; check the cable"},
        {{{"st1", "golden", "1", F, 2}, {"st1", "golden", "1", P, 1}}, ""},
        {{{"st1", "golden", "2", P, 1}}, "no golden check of this port"},
        {{{"st2", "golden", "1", P, 1}}, "no golden check of this port"},
        {{{"st1", "", "1", P, 1}}, "no golden check of this port"},
    };
    for (const Case &c : cases) {
        std::string dir = testing::TempDir() + "rfprobe-golden-" + std::to_string(getpid());
        std::filesystem::create_directories(dir);
        {
            results::OpenOptions o;
            o.spoolPath = dir + "/spool.db";
            auto store = results::Store::open(dir + "/r.db", o);
            for (const Written &w : c.records) store->write(checkRecord(w));
            std::string why = line::goldenLock(*store, "st1", "stn0", 1, 8);
            if (!*c.says) EXPECT_EQ(why, "");
            else EXPECT_NE(why.find(c.says), std::string::npos) << why;
        }
        std::filesystem::remove_all(dir);
    }
}

}  // namespace

// fixture-cal: the golden check run with no loss applied records the
// tester's reading less the reference (chC_cK_diff_P), so the path loses
// minus that; other values of the step say nothing of the loss.
TEST(FixtureCal, TheLossIsWhatTheReadingFellShortOfTheReference) {
    std::vector<station::RecordedValue> values;
    for (auto nv : std::vector<std::pair<const char *, double>>{
             {"ch6_c0_diff_9", -3.4}, {"ch6_c1_diff_13", -3.2}, {"ch11_c0_diff_17", 0.3},
             {"ch6_c0_out_9", 5.6}, {"ch6_per", 2.0}, {"rounds", 1}}) {
        station::RecordedValue v;
        v.name = nv.first, v.value = nv.second;
        values.push_back(v);
    }
    std::map<int, std::vector<double>> loss;
    line::lossesOf(values, &loss);
    EXPECT_EQ(loss, (std::map<int, std::vector<double>>{{6, {3.4, 3.2}}, {11, {-0.3}}}));
}
