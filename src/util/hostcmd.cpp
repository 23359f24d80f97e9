#include "util/hostcmd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/log.h"

// Runs cmd as system() does: "/bin/sh -c cmd", waiting for it to end, with
// the wait status as result and -1 when the shell cannot be run.  Unlike the
// C library's system(), the shell gets a process group of its own: when the
// calling thread is cancelled in the wait (the continuous transmit worker is
// stopped this way), the whole group is killed and reaped, so neither the
// shell nor the command it started outlives the worker.
static void killShellGroup(void *arg)
{
    pid_t pid = *(pid_t *)arg;
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

static int realRunShell(const char *cmd)
{
    posix_spawnattr_t attr;
    sigset_t none;
    char *const argv[] = {(char *)"sh", (char *)"-c", (char *)cmd, nullptr};
    pid_t pid = -1;
    int status = -1;

    sigset_t deflt;
    sigemptyset(&none);
    sigemptyset(&deflt);
    sigaddset(&deflt, SIGPIPE);  // the agent ignores it; its commands must not
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return -1;

    pid_t got;
    pthread_cleanup_push(killShellGroup, &pid);
    do {
        got = waitpid(pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    pthread_cleanup_pop(0);
    return got < 0 ? -1 : status;
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

// The common end of all three: log the finished text when asked, run it, and
// report a shell that could not run (and, when strict, a command that ran
// but did not end with status 0).
static int runCommandBuffer(const char *buf, bool logged, const char *failMsg, bool strict)
{
    if (logged)
        rfLog("%s", buf);
    int status = gHostOps.runShell(buf);
    if (status == -1 || (strict && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))) {
        if (failMsg != nullptr)
            rfLog("%s", failMsg);
        return -1;
    }
    return 0;
}

int hostRun(const char *cmd, bool logged, const char *failMsg)
{
    char buf[kCmdBufSize];
    size_t len = strlen(cmd);

    memset(buf, 0, sizeof(buf));
    if (len >= sizeof(buf)) {
        rfLog("command too long, not run: %.40s...", cmd);
        return -1;
    }
    memcpy(buf, cmd, len);
    return runCommandBuffer(buf, logged, failMsg, false);
}

static int vRunFormatted(bool logged, const char *failMsg, bool strict, const char *fmt, va_list ap)
{
    char buf[kCmdBufSize];

    memset(buf, 0, sizeof(buf));
    int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    if (n < 0 || (size_t)n >= sizeof(buf)) {
        rfLog("command too long, not run: %.40s...", buf);
        return -1;
    }
    return runCommandBuffer(buf, logged, failMsg, strict);
}

int hostRunf(bool logged, const char *failMsg, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = vRunFormatted(logged, failMsg, false, fmt, ap);
    va_end(ap);
    return rc;
}

int hostRunfChecked(bool logged, const char *failMsg, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = vRunFormatted(logged, failMsg, true, fmt, ap);
    va_end(ap);
    return rc;
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
