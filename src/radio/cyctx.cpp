#include "radio/cyctx.h"

#include <atomic>

#include "radio/wl.h"
#include "util/log.h"

pthread_t tidDutCycThread;

// Whether tidDutCycThread names a worker that has not been joined yet, and
// whether that worker is still looping.  The worker clears the second when it
// ends by itself, so a later start or stop knows to reclaim it instead of
// cancelling an id that no live thread has.
static bool sWorkerJoinable;
// Set from the stop until the wait for the stopped worker.
static bool sWorkerStopped;
static std::atomic<bool> sWorkerLooping{false};

void *dutCycTxThread(void *)
{
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    for (;;) {
        rfLog("start send tx packet for DUT tool.");
        if (_exec_startPktEng() != 0)
            break;
    }
    sWorkerLooping.store(false);
    pthread_exit(nullptr);
}

// The worker stops at its next cancellation point (its log write or the
// shell wait, where the running command is killed).
void waitForStoppedCycTx(void)
{
    if (!sWorkerStopped)
        return;
    pthread_join(tidDutCycThread, nullptr);
    sWorkerStopped = false;
    sWorkerJoinable = false;
}

// Joins a worker that was stopped or ended by itself.
static void reapEndedWorker(void)
{
    waitForStoppedCycTx();
    if (sWorkerJoinable && !sWorkerLooping.load()) {
        pthread_join(tidDutCycThread, nullptr);
        sWorkerJoinable = false;
    }
}

int gen_startCycTx(void)
{
    reapEndedWorker();
    if (sWorkerJoinable) {
        // One worker at a time: a second start keeps the running one, which
        // stop can still reach, and confirms that it runs.
        rfLog("dut cyc Tx thread already running");
        return 0;
    }
    sWorkerLooping.store(true);
    if (pthread_create(&tidDutCycThread, nullptr, dutCycTxThread, nullptr) != 0) {
        sWorkerLooping.store(false);
        // Ends in \n before rfLog's CR LF: log parsers expect the empty line after it.
        rfLog("Create dut cyc Tx thread error!\n");
        return -1;
    }
    sWorkerJoinable = true;
    return 0;
}

int gen_stopCycTx(void)
{
    reapEndedWorker();
    if (!sWorkerJoinable || pthread_cancel(tidDutCycThread) != 0) {
        // Ends in \n before rfLog's CR LF: log parsers expect the empty line after it.
        rfLog("Cancel dut cyc Tx thread error!\n");
        return -1;
    }
    sWorkerStopped = true;
    return 0;
}

