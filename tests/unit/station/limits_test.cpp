// Limits: where the descriptors accept them, how they read, what a reply
// measures against them, and the verdicts and exit statuses that follow.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#include "station/args/numbers.h"
#include "station/step/step.h"
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
    // The wire commands whose reply measures, then every step of its own
    // file that declares measurements (sleep declares none).
    std::vector<std::string> expected{"stop-rx", "pa-read"};
    size_t steps = 0;
    const RegisteredStep *step = registeredSteps(&steps);
    for (size_t i = 0; i < steps; ++i)
        if (step[i].def->cmd.kind == ActionKind::Step && step[i].def->measureCount) expected.push_back(step[i].word);
    EXPECT_EQ(measuring, expected);

    // A limit on a step that measures nothing says so and names those that do.
    expectRefused({"set-channel", "6", "--min", "1"},
                  "set-channel: --min is a limit, and set-channel measures nothing; limits apply "
                  "only to what stop-rx, pa-read, golden-check, pa-cal, rx, rx-per");
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
    EXPECT_EQ(typedArg<Duration>(p.action, "--seconds").ms, 2000u);  // the other arguments are untouched

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
    EXPECT_EQ(m[0].name, "count");
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

// The one rule that the screen and the records share.
TEST(Verdicts, OneRuleForMeasurementsStepsAndPlans) {
    struct {
        size_t run, failed, erred;
        Verdict plan;
    } plans[] = {
        {0, 0, 0, Verdict::Error},  // ended before its first step: tested nothing
        {4, 0, 0, Verdict::Pass},
        {4, 1, 1, Verdict::Fail},   // a finding about the unit wins over an error
        {4, 0, 1, Verdict::Error},
    };
    for (const auto &c : plans)
        EXPECT_EQ(planVerdict(c.run, c.failed, c.erred), c.plan) << c.run << c.failed << c.erred;
    EXPECT_EQ(stepVerdict(true, true), Verdict::Error);  // no reply: nothing was measured right
    EXPECT_EQ(stepVerdict(false, true), Verdict::Fail);
    EXPECT_EQ(limitVerdict(950, true, 950, true, 1050), Verdict::Pass);  // inclusive
    EXPECT_EQ(limitVerdict(NAN, false, 0, false, 0), Verdict::Fail);
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Error}) {
        Verdict back = Verdict::Pass;
        EXPECT_TRUE(verdictFromName(verdictName(v), &back));
        EXPECT_EQ(back, v);
    }
    Verdict none;
    EXPECT_FALSE(verdictFromName("pass", &none));
}

// A comma-decimal locale, the system's or one made with localedef; false
// when neither can be had.
bool commaDecimalLocale(std::string *why) {
    const char *name = "de_DE.UTF-8";
    if (setlocale(LC_NUMERIC, name)) return true;
    std::string dir = testing::TempDir() + "rfprobe-locales";
    mkdir(dir.c_str(), 0755);
    std::string cmd = "localedef -i de_DE -f UTF-8 " + dir + "/" + name + " >/dev/null 2>&1";
    if (system(cmd.c_str()) != 0) {
        *why = "localedef (package locales) cannot make " + std::string(name);
        return false;
    }
    setenv("LOCPATH", dir.c_str(), 1);
    if (setlocale(LC_NUMERIC, name)) return true;
    *why = std::string(name) + " made by localedef does not load";
    return false;
}

// Numbers never follow the C locale: under a comma-decimal one a limit
// still reads "950.5" whole and a line still prints a point.
TEST(Limits, NumbersIgnoreACommaDecimalLocale) {
    std::string why;
    if (!commaDecimalLocale(&why)) GTEST_SKIP() << why;
    struct Restore {
        ~Restore() { setlocale(LC_NUMERIC, "C"); }
    } restore;
    ASSERT_STREQ(localeconv()->decimal_point, ",");

    const StepLimits rx =
        parseOk({"rx", "--rate", "1", "--bw", "20", "--seconds", "1", "--min", "950.5", "--max",
                 "1050.25"})
            .action.limits;
    EXPECT_EQ(rx.common.low, 950.5);
    EXPECT_EQ(rx.common.high, 1050.25);
    const StepLimits pa = parseOk({"pa-read", "0", "--pa1", "-400.5..-350.75"}).action.limits;
    EXPECT_EQ(pa.each[0].low, -400.5);
    EXPECT_EQ(pa.each[0].high, -350.75);

    struct {
        Measured m;
        const char *line;
    } lines[] = {
        {{"count", 12, {true, false, 950.5, 0}, Verdict::Fail}, "count 12 below 950.5"},
        {{"pa1", -372, {true, true, -400.5, -350.25}, Verdict::Pass}, "pa1 -372 in -400.5..-350.25"},
        {{"evm", -36.921, {false, true, 0, -25.5}, Verdict::Pass}, "evm -36.9 dB, at most -25.5 dB"},
    };
    for (const auto &c : lines) {
        char d[160];
        describeMeasured(c.m, d, sizeof d);
        EXPECT_STREQ(d, c.line);
    }
    char err[kErrLen];
    bool hasLow, hasHigh;
    double low, high;
    EXPECT_TRUE(getRange("--pa2", "0.5..", &hasLow, &low, &hasHigh, &high, err, sizeof err));
    EXPECT_EQ(low, 0.5);
}

}  // namespace
