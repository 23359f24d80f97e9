// rfprobe: the station's command-line tool.
//
// Sends test requests to UDP port 1060 and waits for the agent's broadcast
// replies on UDP port 1062.  Everything but the reading of the command line
// lives in tools/station, and the records of a run, sync and report in
// tools/line, which registers its handlers in the command table where it is
// built (tools/CMakeLists.txt).
#include <cstdio>
#include <cstring>

#include "station/args/args.h"
#include "station/cli/help.h"
#include "station/runner/run.h"
#include "station/link/transport.h"

using namespace station;

namespace {

// Prints a manual page; an unknown word is a usage error.
int showHelp(const char *page, const char *word, const char *hint) {
    if (!page) {
        fprintf(stderr, "rfprobe: unknown command '%s'%s\n", word, hint);
        return kExitUsage;
    }
    fputs(page, stdout);
    return kExitOk;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    defaultOptions(&opt);
    char err[kErrLen];
    int next = 0;
    ParseResult pr = parseGlobalOptions(argc, argv, &next, &opt, err, sizeof err);
    if (pr == ParseResult::Help) return showHelp(mainHelp(), nullptr, "");
    if (pr == ParseResult::Error) {
        fprintf(stderr, "rfprobe: %s\n", err);
        return kExitUsage;
    }
    if (next >= argc) {
        fprintf(stderr, "rfprobe: no command given (try rfprobe --help)\n");
        return kExitUsage;
    }
    if (strcmp(argv[next], "help") == 0) {
        if (next + 1 >= argc) return showHelp(mainHelp(), nullptr, "");
        return showHelp(commandHelp(argv[next + 1]), argv[next + 1], "");
    }
    Action act;
    pr = parseAction(argc - next, argv + next, &opt, &act, err, sizeof err);
    if (pr == ParseResult::Help)
        return showHelp(act.cmd ? commandHelp(act.cmd->word) : nullptr, argv[next],
                        " (try rfprobe --help)");
    if (pr == ParseResult::Error) {
        fprintf(stderr, "rfprobe: %s\n", err);
        return kExitUsage;
    }
    catchInterrupts();
    return dispatch(opt, act);
}
