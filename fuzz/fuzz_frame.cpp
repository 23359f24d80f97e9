// libFuzzer target: any captured frame through the dispatcher with the
// agent's commands, finish included, with the shell, the pipe reader and the
// frame sender replaced, so that every handler runs to its reply without
// touching the host.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "app/commands.h"
#include "proto/dispatch.h"
#include "proto/reply.h"
#include "proto/testmsg.h"
#include "radio/testproc.h"
#include "util/hostcmd.h"

// Output for the readers, chosen by the frame's first byte so that the
// fuzzer reaches every parse path, including missing fields and garbage.
static const char *const kOutputs[] = {
    "",
    "1\n",
    "rxdfrmmcast 1234 rxdfrmucast 3\n",
    "rxdfrmmcast\n",
    "pa2gw0a0=0xfe8c pa2gw1a0=0x1a2 pa2gw2a0=0x0 pa2gw0a1=0x10 pa2gw1a1=0x20 pa2gw2a1=0x30\n",
    "pa2gw0a0=0x",
    "pa2gw0a0=",
    "garbage \xff\xfe",
};
static const char *gOutput = "";

static int fuzzRunShell(const char *cmd)
{
    pthread_testcancel();  // as the real wait for the shell is
    // Every command text must come from the agent's own formats: no request
    // byte may reach the shell as text.  Anything outside this alphabet is a
    // finding.
    for (const char *p = cmd; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (!(c == ' ' || c == '-' || c == '.' || c == '/' || c == ':' || c == '=' || c == '>' || c == '"' ||
              c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            __builtin_trap();
    }
    if (strlen(cmd) >= kCmdBufSize)
        __builtin_trap();
    return 0;
}

static long fuzzReadPipe(const char *, char *buf, size_t max)
{
    size_t n = strlen(gOutput);
    if (n > max)
        n = max;
    memcpy(buf, gOutput, n);
    return (long)n;
}

static void fuzzSleep(unsigned) {}

static int fuzzSend(const uint8_t *frame, size_t len)
{
    if (len != kReplyFrameLen)
        __builtin_trap();
    volatile uint8_t sink = frame[0] ^ frame[len - 1];
    (void)sink;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    gHostOps.runShell = fuzzRunShell;
    gHostOps.readPipe = fuzzReadPipe;
    gHostOps.sleepSec = fuzzSleep;
    gSendFrame = fuzzSend;
    resetLastTestItem();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1600)
        return 0;
    gOutput = kOutputs[size ? data[0] % (sizeof(kOutputs) / sizeof(kOutputs[0])) : 0];
    // Exactly size bytes on the heap, so that a read past the captured
    // length is caught.
    uint8_t *frame = new uint8_t[size ? size : 1];
    memcpy(frame, data, size);
    handleTestFrame(kAgentCommands, frame, size);
    delete[] frame;
    return 0;
}
