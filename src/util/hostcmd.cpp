#include "util/hostcmd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "util/log.h"

static int realRunShell(const char *cmd)
{
    return system(cmd);
}

static long realReadPipe(const char *cmd, char *buf, size_t max)
{
    FILE *fp = popen(cmd, "r");
    if (fp == nullptr)
        return -1;
    size_t got = fread(buf, 1, max, fp);
    pclose(fp);
    return (long)got;
}

static void realSleepSec(unsigned sec)
{
    sleep(sec);
}

const HostOps kRealHostOps = {realRunShell, realReadPipe, realSleepSec};
HostOps gHostOps = kRealHostOps;

int hostRun(const char *cmd, bool logged, const char *failMsg)
{
    char buf[kCmdBufSize];

    memset(buf, 0, sizeof(buf));
    if (strlen(cmd) >= sizeof(buf)) {
        rfLog("command too long, not run: %.40s...", cmd);
        return -1;
    }
    memcpy(buf, cmd, strlen(cmd));
    if (logged)
        rfLog("%s", buf);
    if (gHostOps.runShell(buf) == -1) {
        if (failMsg != nullptr)
            rfLog("%s", failMsg);
        return -1;
    }
    return 0;
}

int hostRunf(bool logged, const char *failMsg, const char *fmt, ...)
{
    char buf[kCmdBufSize];
    va_list ap;

    memset(buf, 0, sizeof(buf));
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= sizeof(buf)) {
        rfLog("command too long, not run: %.40s...", buf);
        return -1;
    }
    if (logged)
        rfLog("%s", buf);
    if (gHostOps.runShell(buf) == -1) {
        if (failMsg != nullptr)
            rfLog("%s", failMsg);
        return -1;
    }
    return 0;
}

long hostRead(const char *cmd, char *buf, size_t n, const char *pipeFailMsg)
{
    memset(buf, 0, n);
    snprintf(buf, n, "%s", cmd);
    rfLog("%s", buf);
    long got = gHostOps.readPipe(cmd, buf, n - 1);
    if (got < 0) {
        rfLog("%s", pipeFailMsg);
        return -1;
    }
    if (got == 0) {
        rfLog("fread fail.");
        return 0;
    }
    // The text ends where the output ends, not where the command text did.
    buf[got] = '\0';
    return got;
}
