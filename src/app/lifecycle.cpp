#include "app/lifecycle.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "app/commands.h"
#include "platform/cms_msg.h"
#include "proto/capture.h"
#include "radio/testproc.h"
#include "radio/wl.h"
#include "util/hostcmd.h"
#include "util/log.h"

void *gMsgHandle = nullptr;

// The notice that tells smd the agent is done.
constexpr uint32_t kNoticeMsgId = 0x1000080A;
constexpr uint32_t kNoticeFlagWord = 0x40000000;  // bit 30

constexpr int kRadioWaitPolls = 10;
constexpr int kRadioUpInARow = 3;

int DutNoNeedRunRfTest(void)
{
    char out[kOutBufSize];
    int flag = 0;

    long got = hostRead("cat " FACTORY_TEST_FLAG, out, sizeof(out), "DutNoNeedRunRfTest create FILE fail");
    if (got < 0)
        return 0;
    if (got == 0)
        return -1;
    sscanf(out, "%d", &flag);
    return flag == 0 ? 1 : 0;
}

void sendSmdNotice(void)
{
    uint32_t *msg = (uint32_t *)cmsMem_alloc(kCmsMsgHeaderLen, ALLOC_ZEROIZE);
    if (msg == nullptr) {
        rfLog("send msg to smd fail: no memory for the notice");
        return;
    }
    // Native byte order: smd reads the words as the machine stores them.
    msg[1] = EID_RFPROBE;
    msg[2] = EID_SMD;
    msg[3] |= kNoticeFlagWord;
    msg[0] = kNoticeMsgId;
    msg[5] = EID_RFPROBE;

    fprintf(stderr, "send msg id[0X%X] to smd, (wordData=%d)\n", (unsigned)kNoticeMsgId, (int)EID_RFPROBE);
    CmsRet ret = cmsMsg_sendAndGetReply(gMsgHandle, msg);
    fprintf(stderr, "ret = %d\n", (int)ret);
    cmsMem_free(msg);
}

// The flag counts as written only when the shell ran and echo ended with
// status 0: a flag store that refuses the write must not pass for a finished
// unit.
int setFactoryTestFlag(void)
{
    return hostRunfChecked(false, "set factory test flag fail", "echo 1 > " FACTORY_TEST_FLAG);
}

int gen_finishTest(void)
{
    // A unit whose flag still reads 0 would be served again at the next
    // boot, on the customer's network: without the reply the station fails
    // the unit or sends the finish again, and the agent goes on serving.
    return setFactoryTestFlag() == 0 ? 0 : -1;
}

// The signals that stop the agent.  Each ends the commands the agent is
// running and then the agent itself, with the signal's own default action,
// so the exit status still says "killed by signal N".
static const int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

static void onStopSignal(int sig)
{
    // Only async-signal-safe calls here.
    hostEndRunningCommands();
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    // Blocked while this handler runs: it takes effect on the return.
    raise(sig);
}

void installStopHandlers(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onStopSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kStopSignals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : kStopSignals) {
        struct sigaction old;
        // A signal ignored at start (nohup, a background job) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

void waitForRadio(void)
{
    int polls = 0;
    int upInARow = 0;

    while (upInARow < kRadioUpInARow && polls < kRadioWaitPolls) {
        if (_exec_isWlanUp() == 1)
            upInARow++;
        else
            upInARow = 0;
        gHostOps.sleepSec(1);
        polls++;
    }
}

int rfprobeMain(int argc, char **argv)
{
    bool manual = false;
    int opt;

    while ((opt = getopt(argc, argv, "m")) != -1) {
        if (opt == 'm') {
            puts("Enter manual test mode!");
            manual = true;
        }
    }

    if (!manual) {
        cmsMsg_init(EID_RFPROBE, &gMsgHandle);
        if (DutNoNeedRunRfTest() == 0)
            goto notify;
    }

    resetLastTestItem();
    if (!manual)
        waitForRadio();
    puts("Begin to recv msg...");
    if (recvTestMsg(kAgentCommands) != kServeLoopEnded) {
        // Finished, or no capture: status 1 at once, without the notice.  A
        // continuous transmit worker may be running a command: it ends with us.
        hostEndRunningCommands();
        return 1;
    }

notify:
    if (!manual) {
        sendSmdNotice();
        cmsMsg_cleanup(&gMsgHandle);
    }
    return 0;
}
