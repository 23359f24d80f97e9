// The agent's life: start-up, gating by the factory-test flag, the radio
// wait, the notice to smd at shutdown, and the finish command.
#pragma once

// The factory-test flag; a macro, so that its commands take it in as part
// of their fixed text.
#define FACTORY_TEST_FLAG "/proc/nvram/IsFactoryTest"

extern void *gMsgHandle;

// main's body: parses the command line, serves the test when needed and
// returns the exit status.
int rfprobeMain(int argc, char **argv);

// 1 when the flag reads 0 (the test runs), 0 when it is non-zero or cannot
// be read, -1 when reading it yields nothing.
int DutNoNeedRunRfTest(void);
// Polls "wl isup" once a second until the radio reports up three times in a
// row, for at most ten polls; serving starts either way.
void waitForRadio(void);
void sendSmdNotice(void);
// 0 when the flag was written (the shell ran and the command ended with 0).
int setFactoryTestFlag(void);
// Marks the unit as tested: 0 when the flag was written (the reply follows
// and serving ends; main then exits with status 1).  When the flag cannot be
// written: logs it and returns -1, for no reply and serving on.
int gen_finishTest(void);
// SIGHUP, SIGINT, SIGQUIT and SIGTERM end the running commands' process
// groups, then the agent as the signal's default action does.
void installStopHandlers(void);
