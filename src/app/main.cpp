#include <csignal>
#include <cstdio>

#include "app/lifecycle.h"

int main(int argc, char **argv)
{
    // Line-buffered, so that every log line is out before the next step,
    // whether the console is a terminal, a file or a pipe, and none is lost
    // when the agent is killed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A console that goes away (a closed pipe) must cost log lines only, not
    // the agent: without this the next log line would kill it mid-test.
    signal(SIGPIPE, SIG_IGN);
    // Stopping the agent must not leave its shell and wl running.
    installStopHandlers();
    return rfprobeMain(argc, argv);
}
