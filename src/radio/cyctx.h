// The continuous transmit worker: a thread that runs the packet-engine start
// command back to back until it is stopped.
#pragma once

#include <pthread.h>

extern pthread_t tidDutCycThread;

void *dutCycTxThread(void *arg);
// 0 when a worker runs (a new one, or the one already running); -1 (no
// answer) when none could be created.
int gen_startCycTx(void);
// Asks the worker to stop: 0 when it was asked, -1 (no answer) when no worker
// runs.  The caller then waits for it with waitForStoppedCycTx.
int gen_stopCycTx(void);
// Waits for a worker that gen_stopCycTx stopped to end, after the stop's
// reply is out: the station need not wait for the worker's command to die.
void waitForStoppedCycTx(void);
