// Limits: where the descriptors accept them, how they read, what a reply
// measures against them, and the verdicts and exit statuses that follow.
#include <gtest/gtest.h>

#include <string>

#include "station_test_util.h"

using namespace station;

namespace {

Parsed parseOk(std::initializer_list<const char *> words) {
    Parsed p = parseWords(words);
    EXPECT_EQ(p.result, ParseResult::Ok) << p.error;
    return p;
}

void expectRefused(std::initializer_list<const char *> words, const std::string &mention) {
    Parsed p = parseWords(words);
    EXPECT_EQ(p.result, ParseResult::Error) << *words.begin();
    EXPECT_NE(p.error.find(mention), std::string::npos) << p.error;
}

TEST(Limits, OnlyWhatMeasuresTakesThem) {
    size_t n = 0;
    const Command *all = commands(&n);
    std::vector<std::string> measuring;
    for (size_t i = 0; i < n; ++i)
        if (all[i].measures() != Measures::Nothing) measuring.push_back(all[i].word);
    EXPECT_EQ(measuring, (std::vector<std::string>{"stop-rx", "rx", "pa-read"}));

    // A limit on a step that measures nothing says so and names those that do.
    expectRefused({"set-channel", "6", "--min", "1"},
                  "set-channel: --min is a limit, and set-channel measures nothing; limits apply "
                  "only to what stop-rx, rx and pa-read measure");
    expectRefused({"start-rx", "--rate", "1", "--bw", "20", "--max", "5"}, "measures nothing");
    expectRefused({"raw", "0x98", "--stop-on-fail"}, "measures nothing");
    // A coefficient's limit does not apply to a count.
    expectRefused({"rx", "--rate", "1", "--bw", "20", "--seconds", "1", "--pa1", "1..2"},
                  "option --pa1 does not apply");
}

TEST(Limits, ValuesAndRanges) {
    Parsed p = parseOk({"rx", "--rate", "15", "--bw", "40", "--seconds", "2", "--min", "950",
                        "--max", "1050.5", "--stop-on-fail"});
    const StepLimits &l = p.action.limits;
    EXPECT_TRUE(l.common.hasLow && l.common.hasHigh && l.stopOnFail);
    EXPECT_EQ(l.common.low, 950);
    EXPECT_EQ(l.common.high, 1050.5);
    EXPECT_EQ(p.action.waitMs, 2000u);  // the wire arguments are untouched

    p = parseOk({"pa-read", "1", "--min", "-500", "--pa2", "6000..", "--pa3", "..-1400"});
    const StepLimits &c = p.action.limits;
    EXPECT_TRUE(c.common.hasLow && !c.common.hasHigh);
    EXPECT_FALSE(c.eachSet[0]);
    EXPECT_TRUE(c.eachSet[1] && c.each[1].hasLow && !c.each[1].hasHigh);
    EXPECT_EQ(c.each[1].low, 6000);
    EXPECT_TRUE(c.eachSet[2] && !c.each[2].hasLow && c.each[2].high == -1400);
    EXPECT_EQ(p.action.req.chain, 1);

    EXPECT_FALSE(parseOk({"stop-rx"}).action.limits.any());
    expectRefused({"stop-rx", "--min", "1e3"}, "not a decimal number");
    expectRefused({"stop-rx", "--min", "nan"}, "not a decimal number");
    expectRefused({"stop-rx", "--min", "0x10"}, "not a decimal number");
    expectRefused({"stop-rx", "--min", "5", "--max", "4"}, "--min 5 is above --max 4");
    expectRefused({"stop-rx", "--min", "5", "--min", "6"}, "given twice");
    expectRefused({"stop-rx", "--stop-on-fail=yes"}, "takes no value");
    expectRefused({"stop-rx", "--stop-on-fail"}, "--stop-on-fail needs a limit on the same step");
    expectRefused({"pa-read", "0", "--pa1", "-350..-400"}, "low end is above the high end");
    expectRefused({"pa-read", "0", "--pa1", ".."}, "neither end");
    expectRefused({"pa-read", "0", "--pa1", "-400"}, "not a range");
    expectRefused({"pa-read", "0", "--pa1", "1...2"}, "not a range");
    expectRefused({"pa-read", "0", "--pa1", "a..2"}, "decimal numbers");
}

TEST(Limits, InPlanLines) {
    char line[] = "rx --rate 15 --bw 40 --seconds 2 --min 950 --max 1050 # count\n";
    bool isStep = false;
    Action a;
    char err[kErrLen] = "";
    std::vector<std::string> args;
    ASSERT_EQ(parsePlanLine(line, &isStep, &a, err, sizeof err, &args), ParseResult::Ok) << err;
    EXPECT_TRUE(a.limits.any());
    EXPECT_EQ(args, (std::vector<std::string>{"--rate", "15", "--bw", "40", "--seconds", "2",
                                              "--min", "950", "--max", "1050"}));
    // Record options belong to the command line, never to a plan.
    char run[] = "run other.plan --dut SN1\n";
    EXPECT_EQ(parsePlanLine(run, &isStep, &a, err, sizeof err), ParseResult::Error);
}

TEST(Limits, MeasuredFromTheReply) {
    StepLimits l{};
    l.common = {true, true, 950, 1050};
    TestMsg r{};
    r.value1 = 1050;
    Measured m[kMaxMeasured];
    ASSERT_EQ(measureReply(Measures::Count, r, l, m), 1);
    EXPECT_STREQ(m[0].name, "count");
    EXPECT_EQ(m[0].verdict, Verdict::Pass);  // inclusive
    // A counter that went down is a negative count, not four billion.
    r.value1 = 0xFFFFFFF6u;
    measureReply(Measures::Count, r, l, m);
    EXPECT_EQ(m[0].value, -10);
    EXPECT_EQ(m[0].verdict, Verdict::Fail);
    char d[160];
    describeMeasured(m[0], d, sizeof d);
    EXPECT_STREQ(d, "count -10 below 950");

    // Coefficients as signed 16-bit numbers; a coefficient's own range
    // replaces --min/--max for it alone.
    l.common = {true, true, -2000, 7000};
    l.eachSet[0] = true;
    l.each[0] = {true, true, -400, -350};
    r.value1 = 0xfe8c;      // -372
    r.value2 = 0xFFFF1a2e;  // 6702 in its low 16 bits
    r.value3 = 0xfa1b;      // -1509
    ASSERT_EQ(measureReply(Measures::Coefficients, r, l, m), 3);
    EXPECT_EQ(m[0].value, -372);
    EXPECT_EQ(m[0].limit.low, -400);
    EXPECT_EQ(m[1].value, 6702);
    EXPECT_EQ(m[2].limit.low, -2000);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(m[k].verdict, Verdict::Pass) << k;
    l.each[0] = {false, true, 0, -380};
    measureReply(Measures::Coefficients, r, l, m);
    describeMeasured(m[0], d, sizeof d);
    EXPECT_STREQ(d, "pa1 -372 above -380");
    describeMeasured(m[1], d, sizeof d);
    EXPECT_STREQ(d, "pa2 6702 in -2000..7000");

    EXPECT_EQ(measureReply(Measures::Nothing, r, l, m), 0);
}

TEST(Limits, WorstExitStatusOfSeveralUnits) {
    EXPECT_EQ(worseStatus(kExitOk, kExitOk), kExitOk);
    EXPECT_EQ(worseStatus(kExitOk, kExitNoReply), kExitNoReply);
    EXPECT_EQ(worseStatus(kExitSocket, kExitNoReply), kExitSocket);  // the first error kept
    EXPECT_EQ(worseStatus(kExitNoReply, kExitFail), kExitFail);
    EXPECT_EQ(worseStatus(kExitFail, kExitInterrupted), kExitInterrupted);
    EXPECT_EQ(worseStatus(kExitStore, kExitInterrupted), kExitStore);
}

}  // namespace
