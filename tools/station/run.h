// rfprobe station: running sub-commands and plans.
#pragma once

#include "station/args.h"
#include "station/plan.h"
#include "station/transport.h"

namespace station {

// Runs one sub-command that talks to the agent or waits (Send, Rx, Sleep)
// on an open link, printing each reply.  Returns an exit status.
int runAction(const Link &l, const Options &opt, const Action &a);

// Runs a whole command: opens the link when it needs one; runs a plan file
// or prints replies until interrupted.  Returns the tool's exit status.
int execute(const Options &opt, const Action &a);

}  // namespace station
