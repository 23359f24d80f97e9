// Test plans: one command per line, comments, and errors that name the line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "station_test_util.h"

using namespace station;

namespace {

struct Loaded {
    bool ok;
    std::vector<PlanStep> steps;
    std::string error;
};

Loaded load(const std::string &text) {
    Loaded l;
    std::string copy = text;
    FILE *f = fmemopen(copy.empty() ? nullptr : &copy[0], copy.size(), "r");
    if (!f) f = fmemopen(nullptr, 1, "r");  // an empty plan
    char err[kErrLen] = "";
    l.ok = loadPlan(f, "line3.plan", &l.steps, err, sizeof err);
    fclose(f);
    l.error = err;
    return l;
}

TEST(Plan, CommentsBlankLinesAndLineNumbers) {
    Loaded l = load(
        "# bring-up of line 3\n"
        "\n"
        "enter-test-mode\n"
        "   set-channel 6   # channel under test\n"
        "\t\n"
        "set-tx --rate 0 --bw 20 --power 17.5\r\n"
        "#start-tx\n"
        "rx --rate 3 --bw 40 --seconds 1\n"
        "pa-write 0 -372 418 0");  // no newline at the end
    ASSERT_TRUE(l.ok) << l.error;
    ASSERT_EQ(l.steps.size(), 5u);
    const int lines[] = {3, 4, 6, 8, 9};
    const char *words[] = {"enter-test-mode", "set-channel", "set-tx", "rx", "pa-write"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(l.steps[i].planLine, lines[i]);
        EXPECT_STREQ(l.steps[i].action.cmd->word, words[i]);
    }
    EXPECT_EQ(l.steps[1].action.req.byteArg, 6);
    EXPECT_EQ(l.steps[2].action.req.value2, 175u);  // CR LF line end is whitespace
    EXPECT_EQ(l.steps[3].action.cmd->kind, ActionKind::Step);
    EXPECT_EQ(lowSigned16(l.steps[4].action.req.value1), -372);
}

TEST(Plan, ABadLineStopsTheWholePlanAndIsNamed) {
    Loaded l = load(
        "enter-test-mode\n"
        "set-channel 6\n"
        "# a comment\n"
        "set-antenna 256\n"
        "start-tx\n");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.error.rfind("line3.plan:4: ", 0), 0u) << l.error;
    EXPECT_NE(l.error.find("antenna 256"), std::string::npos) << l.error;

    l = load("enter-test-mode\nset-chanel 6\n");
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.error, "line3.plan:2: unknown command 'set-chanel' (try --help)");
}

TEST(Plan, RefusesWhatCannotRunInsidePlan) {
    for (const char *line : {"run other.plan\n", "listen\n", "stop-tx --help\n",
                             "stop-tx --json\n", "stop-tx --timeout 10\n",
                             "start-tx --retries 1\n"}) {
        Loaded l = load(std::string("enter-test-mode\n") + line);
        EXPECT_FALSE(l.ok) << line;
        EXPECT_EQ(l.error.rfind("line3.plan:2: ", 0), 0u) << line << l.error;
    }
    EXPECT_TRUE(load("stop-tx --retries 3\nsleep 0.5\n").ok);
}

// The tester is set to the channel the radio has: its steps need the
// set-channel (and for tx-measure the set-tx) before them; their limits and
// level are checked with the line.
TEST(Plan, TesterStepsFollowTheRadiosSettings) {
    const char *radio = "set-channel 6\nset-tx --rate 0 --bw 20 --power 17\n";
    struct Case {
        std::string plan;
        const char *error;  // null: accepted
    } cases[] = {
        {std::string(radio) + "tx-measure --power-error -1.5..1.5 --evm-max -25\n", nullptr},
        {"set-channel 1\nrx-per --rate 7 --bw 20 --level -84 --frames 500 --per-max 10\n", nullptr},
        {"tx-measure\n", "line3.plan:1: tx-measure needs a set-tx after a set-channel"},
        {"set-tx --rate 0 --bw 20 --power 17\nset-channel 6\ntx-measure\n",
         "line3.plan:3: tx-measure needs a set-tx after a set-channel"},
        {"rx-per --rate 7 --bw 20 --level -84 --frames 5\n", "line3.plan:1: rx-per needs a set-channel"},
        {"enter-test-mode\npa-cal 0\nset-channel 6\n", "line3.plan:2: pa-cal needs a set-channel"},
        {"set-channel 6\npa-cal 1 --powers 8,12,16\n", nullptr},
        {"set-channel 1\nrx-per --rate 7 --bw 20 --level -200 --frames 5\n", "outside -150..30"},
        {"set-channel 1\nrx-per --rate 7 --bw 20 --level -84 --frames 0\n", "frame count"},
        {std::string(radio) + "tx-measure --evm 3..1\n", "--evm"},
    };
    for (const Case &c : cases) {
        Loaded l = load(c.plan);
        EXPECT_EQ(l.ok, c.error == nullptr) << c.plan << l.error;
        if (c.error) {
            EXPECT_NE(l.error.find(c.error), std::string::npos) << c.plan << l.error;
        }
    }
    Loaded l = load(std::string(radio) + "tx-measure --evm-max -25 --freq-error ..20\n");
    ASSERT_TRUE(l.ok) << l.error;
    const StepLimits &lim = l.steps[2].action.limits;
    EXPECT_TRUE(lim.eachSet[2] && lim.each[2].hasHigh && !lim.each[2].hasLow && lim.each[2].high == -25);
    EXPECT_TRUE(lim.eachSet[3] && lim.each[3].hasHigh && lim.each[3].high == 20 && !lim.eachSet[0]);
}

TEST(Plan, EmptyOrOverlongPlans) {
    Loaded l = load("# nothing to do\n\n");
    EXPECT_FALSE(l.ok);
    EXPECT_NE(l.error.find("no command"), std::string::npos) << l.error;
    EXPECT_FALSE(load("").ok);

    std::string longLine = "set-channel 6 " + std::string(kMaxPlanLine, ' ') + "\nstart-tx\n";
    l = load("stop-tx\n" + longLine);
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.error.rfind("line3.plan:2: line longer", 0), 0u) << l.error;

    std::string words = "stop-tx";
    for (size_t i = 0; i < kMaxArgs; ++i) words += " x";
    l = load(words + "\n");
    EXPECT_FALSE(l.ok);
    EXPECT_NE(l.error.find("too many words"), std::string::npos) << l.error;
}

TEST(Plan, LineParserSplitsWords) {
    char line[] = "  pa-read\t1   #0\n";
    bool isStep = false;
    Action a;
    char err[kErrLen] = "";
    ASSERT_EQ(parsePlanLine(line, &isStep, &a, err, sizeof err), ParseResult::Ok) << err;
    EXPECT_TRUE(isStep);
    EXPECT_EQ(a.req.cmdType, 0x92);
    EXPECT_EQ(a.req.chain, 1);

    char comment[] = "   # pa-read 1";
    ASSERT_EQ(parsePlanLine(comment, &isStep, &a, err, sizeof err), ParseResult::Ok);
    EXPECT_FALSE(isStep);
}

}  // namespace
