#include "util/hostcmd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <csignal>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "util/log.h"

// Both kinds of command run as "/bin/sh -c cmd" in a process group of their
// own, with SIGPIPE at its default (the agent ignores it; its commands must
// not) and no signal blocked.  The groups of the commands running now are
// kept in sGroups, so that whatever ends the agent can end them too: a
// group outside the agent's own gets none of the signals sent to it, and
// would live on as orphans (a shell and its wl).  Two threads run commands
// at most; a slot is 0 when free, kStarting while its thread starts a
// command, and the group's id (the shell's pid) while it runs.
constexpr pid_t kStarting = -1;
static std::atomic<pid_t> sGroups[4];
// Set once the agent is ending: no command starts any more.
static std::atomic<bool> sEnding;
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "read from a signal handler");

struct Running {
    pid_t pid;
    int slot;  // -1: not registered (no free slot)
};

static int claimSlot(void)
{
    for (int i = 0; i < (int)(sizeof(sGroups) / sizeof(sGroups[0])); i++) {
        pid_t free = 0;
        if (sGroups[i].compare_exchange_strong(free, kStarting))
            return i;
    }
    return -1;
}

static void releaseSlot(int slot)
{
    if (slot >= 0)
        sGroups[slot].store(0);
}

// Starts cmd, with its standard output on outFd when outFd >= 0.  False
// when the shell could not be started.
static bool startShell(const char *cmd, int outFd, Running *r)
{
    char *const argv[] = {(char *)"sh", (char *)"-c", (char *)cmd, nullptr};
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    sigset_t none, deflt, all, old;

    sigemptyset(&none);
    sigemptyset(&deflt);
    sigaddset(&deflt, SIGPIPE);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);

    // No signal is handled on this thread from the claim of a slot to its
    // filling: a stop signal handled on the other thread waits for the slot.
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    r->slot = claimSlot();
    int rc = -1;
    if (!sEnding.load())
        rc = posix_spawn(&r->pid, "/bin/sh", &actions, &attr, argv, environ);
    if (r->slot >= 0)
        sGroups[r->slot].store(rc == 0 ? r->pid : 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);

    // The agent is ending: wait for the end rather than start anything.
    while (rc != 0 && sEnding.load())
        pause();
    return rc == 0;
}

// When the thread is cancelled in the wait (the continuous transmit worker
// is stopped this way), the whole group is killed and reaped.
static void endGroup(void *arg)
{
    Running *r = (Running *)arg;
    kill(-r->pid, SIGKILL);
    releaseSlot(r->slot);
    while (waitpid(r->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Waits for the shell to end; its wait status.
static int waitShell(Running *r)
{
    siginfo_t info;
    int rc, status = -1, cancelState;
    pid_t got;

    // Waited for without reaping first: until the slot is free, the shell's
    // pid cannot be given to another process and its group id stays ours.
    pthread_cleanup_push(endGroup, r);
    do {
        rc = waitid(P_PID, (id_t)r->pid, &info, WEXITED | WNOWAIT);
    } while (rc < 0 && errno == EINTR);
    pthread_cleanup_pop(0);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    releaseSlot(r->slot);
    do {
        got = waitpid(r->pid, &status, 0);
    } while (got < 0 && errno == EINTR);
    pthread_setcancelstate(cancelState, nullptr);
    return got < 0 ? -1 : status;
}

void hostEndRunningCommands(void)
{
    sEnding.store(true);
    for (auto &slot : sGroups) {
        pid_t pid = slot.load();
        // A command being started fills its slot within moments.
        for (int i = 0; pid == kStarting && i < 1000; i++) {
            poll(nullptr, 0, 1);  // 1 ms, async-signal-safe
            pid = slot.load();
        }
        if (pid > 0)
            kill(-pid, SIGKILL);
    }
}

// As system(): the wait status, -1 when the shell cannot be run.
static int realRunShell(const char *cmd)
{
    Running r;
    if (!startShell(cmd, -1, &r))
        return -1;
    return waitShell(&r);
}

// As popen(), one fread() and pclose().
static long realReadPipe(const char *cmd, char *buf, size_t max)
{
    int fds[2];
    Running r;

    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    bool started = startShell(cmd, fds[1], &r);
    close(fds[1]);
    if (!started) {
        close(fds[0]);
        return -1;
    }
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fds[0], buf + got, max - got);
        if (n > 0)
            got += (size_t)n;
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    waitShell(&r);
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
