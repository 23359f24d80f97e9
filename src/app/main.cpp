#include <cstdio>

#include "app/lifecycle.h"

int main(int argc, char **argv)
{
    // Line-buffered, so that every log line is out before the next step,
    // whether the console is a terminal, a file or a pipe, and none is lost
    // when the agent is killed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return rfprobeMain(argc, argv);
}
