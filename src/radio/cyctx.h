// The continuous transmit worker: a thread that runs the packet-engine start
// command back to back until it is stopped.
#pragma once

#include <pthread.h>

extern pthread_t tidDutCycThread;

void *dutCycTxThread(void *arg);
int gen_startCycTx(void);
int gen_stopCycTx(void);
