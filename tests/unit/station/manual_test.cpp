// The manual is built from the descriptors: its layout, and that what it
// says agrees with what the parser accepts.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "station/cli/help.h"
#include "station/step/step.h"
#include "station_test_util.h"

using namespace station;

namespace {

std::string section(const std::string &page, const std::string &title) {
    size_t from = page.find("\n" + title + "\n");
    if (from == std::string::npos) return "";
    from += title.size() + 2;
    size_t to = page.find("\n\n", from);
    return page.substr(from, to == std::string::npos ? std::string::npos : to + 1 - from);
}

// Parses the words after "rfprobe" on one example line, station options
// included.
ParseResult parseExample(const std::string &line, std::string *err) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    Options opt;
    defaultOptions(&opt);
    char msg[kErrLen] = "";
    int next = 0;
    ParseResult r = parseGlobalOptions((int)argv.size(), argv.data(), &next, &opt, msg, sizeof msg);
    Action act;
    if (r == ParseResult::Ok)
        r = parseAction((int)argv.size() - next, argv.data() + next, &opt, &act, msg, sizeof msg);
    *err = msg;
    return r;
}

// The list without the steps of their own files, which follow the wire
// commands (raw last) in the order of their files, each with its synopsis.
std::string withoutSteps(const std::string &list) {
    size_t from = list.find("    raw CODE");
    from = list.find("\n    ", list.find('\n', from) + 1) + 1;
    size_t to = list.find("    listen ");
    size_t n = 0;
    const RegisteredStep *step = registeredSteps(&n);
    std::string steps = list.substr(from, to - from);
    for (size_t i = 0; i < n; ++i) {
        if (step[i].def->cmd.kind == ActionKind::Send) continue;
        EXPECT_NE(steps.find(std::string("    ") + step[i].word + " "), std::string::npos) << step[i].word;
    }
    return list.substr(0, from) + list.substr(to);
}

TEST(Manual, CommandListJoinsPairsAndWrapsLongSynopses) {
    EXPECT_EQ(withoutSteps(section(mainHelp(), "COMMANDS")),
              "    enter-test-mode            put the radio into test mode\n"
              "    exit-test                  leave test mode (the agent keeps serving)\n"
              "    set-channel N              record the channel, 0..255\n"
              "    set-antenna N              record the antenna, 0..255\n"
              "    set-tx --rate I --bw W --power DBM\n"
              "                               set up a transmit test\n"
              "    start-tx, stop-tx          start / stop the packet engine once\n"
              "    start-rx --rate I --bw W   start a receive test\n"
              "    stop-rx [LIMITS]           stop it and print the received count\n"
              "    start-cyc-tx, stop-cyc-tx  start / stop continuous transmission\n"
              "    pa-init                    start a new PA data file\n"
              "    pa-read CHAIN [LIMITS]     print a chain's three PA coefficients\n"
              "    pa-write CHAIN C1 C2 C3    set a chain's PA coefficients\n"
              "    pa-save                    save both chains' coefficients to NVRAM\n"
              "    finish                     mark the unit tested; the agent exits\n"
              "    raw CODE [--byte B] [--v1 X] [--v2 X] [--v3 X] [--chain C]\n"
              "                               send any request code\n"
              "    listen                     print every reply seen until interrupted\n"
              "    run PLAN [--dut SERIAL] [--unit IF=SERIAL]... [--fixture FILE] [RECORD OPTIONS]\n"
              "                               run a test plan file ('-': standard input)\n"
              "    serve --plan PLAN [--unit IF[=LABEL]]... [ACCESS] [--fixture FILE] [RECORD OPTIONS]\n"
              "                               the operator page: scan, watch, PASS or FAIL\n"
              "    fixture-cal [--fixture FILE] [--reference FILE] [--unit IF=SERIAL] [--plan PLAN]...\n"
              "                               measure a port's path loss with the golden unit\n"
              "    sync [--store URL] [--spool PATH] [--bus FILE]\n"
              "                               upload the records kept in the spool\n"
              "    report [--store URL] [FILTERS] [--tz ZONE] [--csv FILE] [--html FILE] [--statement-timeout S]\n"
              "                               yield, failures and measured values\n"
              "    archive [--store URL] [--before DAY] [--to FILE]\n"
              "                               move old records from the store to a file\n"
              "    restore FILE [--store URL]\n"
              "                               load an archive back into the store\n");
}

TEST(Manual, PageSectionsFollowTheDescriptor) {
    std::string raw = commandHelp("raw");
    EXPECT_EQ(section(raw, "SYNOPSIS"),
              "    rfprobe [OPTIONS] raw CODE [--byte B] [--v1 X] [--v2 X] [--v3 X] [--chain C]\n");
    // Options without a help line of their own share the line before.
    EXPECT_EQ(section(raw, "OPTIONS"),
              "    --byte B       byte argument, 0..255\n"
              "    --v1 X, --v2 X, --v3 X\n"
              "                   32-bit words, -2147483648..4294967295, sent big-endian\n"
              "    --chain C      chain byte, 0..255\n");
    EXPECT_NE(raw.find("not safe to repeat"), std::string::npos);

    std::string channel = commandHelp("set-channel");
    EXPECT_EQ(section(channel, "SYNOPSIS"), "    rfprobe [OPTIONS] set-channel N [--retries N]\n");
    EXPECT_EQ(section(channel, "OPTIONS").rfind("    --retries N    send the request again", 0), 0u);
    EXPECT_EQ(section(commandHelp("set-tx"), "OPTIONS"),
              "    --rate I       rate index, 0..48\n"
              "    --bw W         bandwidth in MHz: 20, 40, 80 or 160 (only 40 selects\n"
              "                   the 40-MHz mode)\n"
              "    --power DBM    transmit power in dBm, 0.0..100.0, at most one decimal;\n"
              "                   sent in tenths (17.5 is sent as 175)\n");
    // Only what talks to no router lacks the station options.
    EXPECT_EQ(section(commandHelp("sleep"), "SYNOPSIS"), "    rfprobe sleep S\n");
    EXPECT_EQ(section(commandHelp("report"), "SYNOPSIS"),
              "    rfprobe report [--store URL] [FILTERS] [--tz ZONE] [--csv FILE] [--html FILE] [--statement-timeout S]\n");
    EXPECT_EQ(section(commandHelp("listen"), "OPTIONS"), "");

    // Grouped options: "[GROUP]" in the synopsis, a section of their own; a
    // flag has no value.
    std::string rx = commandHelp("rx");
    EXPECT_EQ(section(rx, "SYNOPSIS"),
              "    rfprobe [OPTIONS] rx --rate I --bw W --seconds S [LIMITS]\n");
    EXPECT_EQ(section(rx, "LIMITS"),
              "    --min N        lowest received count that passes\n"
              "    --max N        highest received count that passes\n"
              "    --stop-on-fail\n"
              "                   in a plan: a missed limit ends the plan after this step\n"
              "                   (otherwise the plan goes on and ends FAIL)\n");
    EXPECT_EQ(section(rx, "OPTIONS").find("--min"), std::string::npos);
    std::string run = commandHelp("run");
    EXPECT_NE(section(run, "OPTIONS").find("--unit IF=SERIAL"), std::string::npos);
    EXPECT_NE(section(run, "RECORD OPTIONS").find("--json-record FILE"), std::string::npos);
    EXPECT_EQ(section(run, "LIMITS"), "");
}

TEST(Manual, ExitStatusesAreListed) {
    std::string exits = section(mainHelp(), "EXIT STATUS");
    for (const char *line :
         {"    0    success; with limits: PASS\n", "    1    FAIL", "    2    bad argument",
          "    3    socket error", "    4    no reply", "    5    the results store",
          "    130  interrupted"})
        EXPECT_NE(exits.find(line), std::string::npos) << line;
}

TEST(Manual, EveryRequestPageNamesItsCode) {
    for (const Command *c : wireCommands()) {
        char code[16];
        snprintf(code, sizeof code, "request 0x%02X", c->code);
        EXPECT_NE(std::string(commandHelp(c->word)).find(code), std::string::npos) << c->word;
    }
}

TEST(Manual, EveryExampleIsAcceptedAsWritten) {
    size_t n = 0;
    const Command *all = commands(&n);
    std::vector<std::string> pages = {mainHelp()};
    for (size_t i = 0; i < n; ++i) pages.push_back(commandHelp(all[i].word));
    int seen = 0;
    for (const std::string &page : pages) {
        std::istringstream in(section(page, "EXAMPLE") + section(page, "EXAMPLES"));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("    rfprobe ", 0) != 0) continue;  // a plan line
            std::string err;
            EXPECT_EQ(parseExample(line, &err), ParseResult::Ok) << line << ": " << err;
            ++seen;
        }
    }
    EXPECT_GE(seen, 8);

    // The plan shown by run --help loads as a plan.
    std::string plan;
    std::istringstream in(section(commandHelp("run"), "EXAMPLE"));
    for (std::string line; std::getline(in, line);) plan += line + "\n";
    FILE *f = fmemopen(&plan[0], plan.size(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<PlanStep> steps;
    char err[kErrLen] = "";
    EXPECT_TRUE(loadPlan(f, "example", &steps, err, sizeof err)) << err;
    fclose(f);
    EXPECT_EQ(steps.size(), 8u);
    EXPECT_TRUE(steps.back().action.limits.stopOnFail);
}

}  // namespace
