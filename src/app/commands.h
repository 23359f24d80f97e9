// The agent's command table: one entry per row of proto/testmsg.h.
#pragma once

#include "proto/dispatch.h"

extern const CmdTable kAgentCommands;

// Exit-test touches nothing: the agent answers and goes on serving.
int gen_exitTest(void);
