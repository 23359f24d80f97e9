// Argument parsing and range checks of the station tool: a bad argument must
// be refused before anything is sent.
#include <gtest/gtest.h>

#include <string>

#include "station/cli/help.h"
#include "station_test_util.h"

using namespace station;

namespace {

void expectRefused(std::initializer_list<const char *> words, const char *mention) {
    Parsed p = parseWords(words);
    std::string cmd;
    for (const char *w : words) cmd += std::string(w) + " ";
    EXPECT_EQ(p.result, ParseResult::Error) << cmd;
    EXPECT_NE(p.error.find(mention), std::string::npos) << cmd << "-> " << p.error;
}

void expectAccepted(std::initializer_list<const char *> words) {
    Parsed p = parseWords(words);
    std::string cmd;
    for (const char *w : words) cmd += std::string(w) + " ";
    EXPECT_EQ(p.result, ParseResult::Ok) << cmd << "-> " << p.error;
}

TEST(RangeChecks, ByteArguments) {
    expectAccepted({"set-channel", "0"});
    expectAccepted({"set-channel", "255"});
    expectAccepted({"set-antenna", "0xff"});
    expectRefused({"set-channel", "256"}, "channel 256 is out of range (0..255)");
    expectRefused({"set-channel", "-1"}, "out of range");
    expectRefused({"set-antenna", "300"}, "antenna 300");
    expectRefused({"set-channel", "6x"}, "not a number");
    expectRefused({"set-channel", "0x"}, "not a number");
    expectRefused({"set-channel", "99999999999999999999999"}, "out of range");
    // A leading zero is decimal, not octal.
    EXPECT_EQ(parseWords({"set-channel", "010"}).action.req.byteArg, 10);
}

TEST(RangeChecks, RateAndBandwidth) {
    expectAccepted({"start-rx", "--rate", "0", "--bw", "20"});
    expectAccepted({"start-rx", "--rate", "48", "--bw", "160"});
    expectRefused({"start-rx", "--rate", "49", "--bw", "20"}, "rate index 49 is out of range");
    expectRefused({"set-tx", "--rate", "-1", "--bw", "20", "--power", "1"}, "rate index");
    expectRefused({"rx", "--rate", "255", "--bw", "20", "--seconds", "1"}, "rate index");
    expectRefused({"start-rx", "--rate", "1", "--bw", "30"}, "bandwidth 30");
    expectRefused({"start-rx", "--rate", "1", "--bw", "-40"}, "bandwidth");
}

TEST(RangeChecks, PowerIsSentInTenths) {
    EXPECT_EQ(parseWords({"set-tx", "--rate", "0", "--bw", "20", "--power", "16.3"})
                  .action.req.value2,
              163u);
    EXPECT_EQ(parseWords({"set-tx", "--rate", "0", "--bw", "20", "--power", "17.50"})
                  .action.req.value2,
              175u);
    EXPECT_EQ(parseWords({"set-tx", "--rate", "0", "--bw", "20", "--power", "20"})
                  .action.req.value2,
              200u);
    expectAccepted({"set-tx", "--rate", "0", "--bw", "20", "--power", "0.0"});
    expectAccepted({"set-tx", "--rate", "0", "--bw", "20", "--power", "100.0"});
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "100.1"}, "out of range");
    // The agent reads the tenths as an unsigned word: no negative power.
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "-1"}, "out of range");
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "17.55"},
                  "more than one decimal");
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "1e1"}, "not a number");
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "."}, "not a number");
}

TEST(RangeChecks, PaChainsAndCoefficients) {
    expectAccepted({"pa-read", "0"});
    expectAccepted({"pa-write", "1", "-32768", "32767", "0"});
    expectRefused({"pa-read", "2"}, "chain 2 is out of range (0..1)");
    expectRefused({"pa-write", "2", "0", "0", "0"}, "chain 2");
    expectRefused({"pa-write", "0", "32768", "0", "0"}, "coefficient C1 32768");
    expectRefused({"pa-write", "0", "0", "-32769", "0"}, "coefficient C2");
    expectRefused({"pa-write", "0", "0", "0", "0x10000"}, "coefficient C3");
    expectRefused({"pa-write", "0", "0", "0", "0xfff0000"}, "coefficient C3");
    expectRefused({"pa-write", "0", "0", "0", "x"}, "not a number");
    // The radio's hex pattern and the agent's sign-widened form both read back.
    Parsed p = parseWords({"pa-write", "0", "0xfe8c", "0xfffffe8c", "0x8000"});
    ASSERT_EQ(p.result, ParseResult::Ok) << p.error;
    EXPECT_EQ(lowSigned16(p.action.req.value1), -372);
    EXPECT_EQ(lowSigned16(p.action.req.value2), -372);
    EXPECT_EQ(lowSigned16(p.action.req.value3), -32768);
}

TEST(RangeChecks, RawFields) {
    expectRefused({"raw", "256"}, "code 256");
    expectRefused({"raw", "bogus"}, "not a number");
    expectRefused({"raw", "0x82", "--byte", "256"}, "--byte 256");
    expectRefused({"raw", "0x82", "--chain", "-1"}, "--chain");
    expectRefused({"raw", "0x82", "--v1", "4294967296"}, "--v1");
    expectRefused({"raw", "0x82", "--v2", "-2147483649"}, "--v2");
    expectAccepted({"raw", "0x82", "--v3", "-2147483648"});
}

TEST(RangeChecks, WaitsAndRetries) {
    EXPECT_EQ(typedArg<Duration>(parseWords({"sleep", "0.25"}).action, nullptr).ms, 250u);
    EXPECT_EQ(typedArg<Duration>(parseWords({"sleep", "86400"}).action, nullptr).ms, 86400000u);
    expectRefused({"sleep", "86400.001"}, "out of range");
    expectRefused({"sleep", "1.0005"}, "out of range");
    expectRefused({"rx", "--rate", "1", "--bw", "20", "--seconds", "-1"}, "out of range");
    EXPECT_EQ(parseWords({"pa-read", "1", "--retries", "10"}).action.retries, 10u);
    expectRefused({"pa-read", "1", "--retries", "11"}, "retries 11");
}

TEST(Retries, RefusedForRequestsThatAreNotSafeToRepeat) {
    for (const char *word : {"set-channel", "set-antenna"})
        expectAccepted({word, "1", "--retries", "2"});
    for (const char *word : {"exit-test", "stop-tx"}) expectAccepted({word, "--retries", "2"});
    for (const char *word : {"enter-test-mode", "start-tx", "pa-init", "pa-save", "finish",
                             "stop-rx", "start-cyc-tx", "stop-cyc-tx"})
        expectRefused({word, "--retries", "1"}, "not safe to repeat");
    expectRefused({"pa-write", "0", "1", "2", "3", "--retries", "1"}, "not safe to repeat");
    expectRefused({"set-tx", "--rate", "0", "--bw", "20", "--power", "1", "--retries", "1"},
                  "not safe to repeat");
    expectRefused({"raw", "0x82", "--retries", "1"}, "not safe to repeat");
    EXPECT_EQ(parseWords({"stop-tx"}).action.retries, 0u);
}

TEST(CommandShape, MissingExtraAndUnknownArguments) {
    expectRefused({"set-channel"}, "missing argument N");
    expectRefused({"pa-write", "0", "1", "2"}, "missing argument C3");
    expectRefused({"set-tx", "--rate", "0", "--bw", "20"}, "missing option --power");
    expectRefused({"rx", "--rate", "0", "--bw", "20"}, "missing option --seconds");
    expectRefused({"set-channel", "1", "2"}, "unexpected argument '2'");
    expectRefused({"start-tx", "now"}, "unexpected argument");
    expectRefused({"set-channel", "1", "--power", "3"}, "--power does not apply");
    expectRefused({"set-channel", "1", "--frobnicate"}, "unknown option --frobnicate");
    expectRefused({"start-rx", "--rate", "1", "--rate", "2", "--bw", "20"}, "given twice");
    expectRefused({"start-rx", "--rate"}, "needs a value");
    expectRefused({"stop-rx", "--json=1"}, "takes no value");
    expectRefused({"set-tx-power", "1"}, "unknown command 'set-tx-power'");
}

TEST(StationOptions, AcceptedAfterTheCommandAndChecked) {
    Parsed p = parseWords({"pa-read", "0", "--json", "--timeout", "500", "--iface", "eth1",
                           "--to", "198.18.0.2", "-v"});
    ASSERT_EQ(p.result, ParseResult::Ok) << p.error;
    EXPECT_TRUE(p.options.json);
    EXPECT_TRUE(p.options.verbose);
    EXPECT_EQ(p.options.timeoutMs, 500u);
    EXPECT_STREQ(p.options.iface, "eth1");
    EXPECT_STREQ(p.options.to, "198.18.0.2");

    Options def;
    defaultOptions(&def);
    EXPECT_STREQ(def.to, "255.255.255.255");
    EXPECT_EQ(def.timeoutMs, 2000u);

    expectRefused({"stop-tx", "--timeout", "0"}, "timeout 0");
    expectRefused({"stop-tx", "--timeout", "600001"}, "timeout");
    expectRefused({"stop-tx", "--to", "198.18.0.256"}, "not a dotted IPv4 address");
    expectRefused({"stop-tx", "--to", "router"}, "not a dotted IPv4 address");
    expectRefused({"stop-tx", "--iface", "an-interface-name-too-long"}, "too long");
    expectRefused({"stop-tx", "--iface", ""}, "empty");
}

TEST(StationOptions, GlobalOptionsBeforeTheCommand) {
    const char *argv[] = {"rfprobe", "--iface=eth2", "--json", "set-channel", "6"};
    Options opt;
    defaultOptions(&opt);
    char err[kErrLen] = "";
    int next = 0;
    ASSERT_EQ(parseGlobalOptions(5, const_cast<char **>(argv), &next, &opt, err, sizeof err),
              ParseResult::Ok)
        << err;
    EXPECT_EQ(next, 3);
    EXPECT_STREQ(opt.iface, "eth2");
    EXPECT_TRUE(opt.json);

    const char *misplaced[] = {"rfprobe", "--rate", "3", "start-rx"};
    EXPECT_EQ(parseGlobalOptions(4, const_cast<char **>(misplaced), &next, &opt, err, sizeof err),
              ParseResult::Error);
    EXPECT_NE(std::string(err).find("after a sub-command"), std::string::npos) << err;

    const char *help[] = {"rfprobe", "-v", "--help"};
    EXPECT_EQ(parseGlobalOptions(3, const_cast<char **>(help), &next, &opt, err, sizeof err),
              ParseResult::Help);
}

TEST(Help, EveryCommandHasAPage) {
    for (const Command *c : wireCommands()) {
        Parsed p = parseWords({c->word, "--help"});
        EXPECT_EQ(p.result, ParseResult::Help) << c->word;
        ASSERT_NE(commandHelp(c->word), nullptr) << c->word;
        EXPECT_NE(std::string(commandHelp(c->word)).find("SYNOPSIS"), std::string::npos);
    }
    for (const char *word : {"rx", "raw", "listen", "run", "sleep"})
        EXPECT_NE(commandHelp(word), nullptr) << word;
    // The help of each retry-safe command says so; the others refuse it.
    for (const Command *c : wireCommands()) {
        std::string page = commandHelp(c->word);
        bool saysSafe = page.find("safe\n                   to repeat") != std::string::npos;
        EXPECT_EQ(saysSafe, c->retrySafe()) << c->word;
    }
    // Help with an argument that would be refused is still help.
    EXPECT_EQ(parseWords({"set-channel", "999", "--help"}).result, ParseResult::Help);
    Parsed unknown = parseWords({"nope", "--help"});
    EXPECT_EQ(unknown.result, ParseResult::Help);
    EXPECT_EQ(unknown.action.cmd, nullptr);
}

}  // namespace

// A step's typed arguments, through rx-sweep's: levels as a range at its
// step (rising, the high end when the step reaches it) or as a list, and
// each way a line is refused before anything is sent.
TEST(TypedArgs, LevelsAreARangeAtItsStepOrAList) {
    struct Case {
        const char *levels, *step;
        std::vector<double> want;
        const char *refused;  // null: accepted
    };
    const Case cases[] = {
        {"-96..-70", "2", {}, nullptr},
        {"-90..-85", "2", {-90, -88, -86}, nullptr},
        {"-84,-96.5,-90", nullptr, {-84, -96.5, -90}, nullptr},
        {"-80..-80", "1", {-80}, nullptr},
        {"-96..-70", nullptr, {}, "needs a step above 0 dB"},
        {"-70..-96", "2", {}, "the low end is above the high end"},
        {"-90,-80", "2", {}, "a step applies to a range LO..HI only"},
        {"-151,-90", nullptr, {}, "-151 dBm is outside -150..30"},
        {"-96..", "2", {}, "needs both ends"},
        {"-150..30", "1", {}, "at most 64"},
        {"-90,,-80", nullptr, {}, "--levels"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> words{"rx-sweep", "--rate", "7", "--bw", "20", "--levels", c.levels, "--per-max", "10"};
        if (c.step) words.insert(words.end(), {"--step", c.step});
        std::vector<char *> argv;
        for (std::string &w : words) argv.push_back(&w[0]);
        Action a;
        char err[kErrLen] = "";
        ParseResult r = parseAction((int)argv.size(), argv.data(), nullptr, &a, err, sizeof err);
        if (c.refused) {
            EXPECT_EQ(r, ParseResult::Error) << c.levels;
            EXPECT_NE(std::string(err).find(c.refused), std::string::npos) << c.levels << ": " << err;
            continue;
        }
        ASSERT_EQ(r, ParseResult::Ok) << c.levels << ": " << err;
        const Levels &l = typedArg<Levels>(a, "--levels");
        std::vector<double> got(l.dbm, l.dbm + l.count);
        if (c.want.empty()) {  // -96..-70 at 2: 14 levels, both ends
            ASSERT_EQ(got.size(), 14u);
            EXPECT_EQ(got.front(), -96);
            EXPECT_EQ(got.back(), -70);
        } else {
            EXPECT_EQ(got, c.want) << c.levels;
        }
        using Frames = Integer<1, 1000000>;
        EXPECT_EQ(typedArg<Frames>(a, "--frames").n, 500);  // the struct's default
    }
    // --per-max is what the sensitivity is searched against: required.
    expectRefused({"rx-sweep", "--rate", "7", "--bw", "20", "--levels", "-90,-80"}, "missing option --per-max");
}
