// Running host commands through the shell.
//
// Two conventions: a command run for its effect (as system(): only a shell
// that cannot run counts as failure), and a command whose output is read (as
// popen: one read of at most N-1 bytes, then the wait for its end).  Every
// wrapper in the agent goes through these; the three calls that reach the
// host sit behind gHostOps so that tests can see every command line and
// script the output.  Each command runs in a process group of its own.
#pragma once

#include <cstddef>

constexpr size_t kCmdBufSize = 128;
constexpr size_t kOutBufSize = 1024;
constexpr size_t kCountersBufSize = 3072;

struct HostOps {
    // As system(): -1 when the shell could not be run.
    int (*runShell)(const char *cmd);
    // Runs cmd with its output on a pipe, reads it into buf up to max bytes
    // or the output's end (as one fread), closes the pipe and waits for the
    // command.  Returns the byte count, or -1 when the pipe or the shell could
    // not be started.
    long (*readPipe)(const char *cmd, char *buf, size_t max);
    void (*sleepSec)(unsigned sec);
};

extern HostOps gHostOps;
extern const HostOps kRealHostOps;

// Kills the process group of every command the agent is running (the shell
// and all it started), and lets no command start afterwards: for a process
// that is about to end.  Async-signal-safe.
void hostEndRunningCommands(void);

// Runs a fixed command text.  Logs it first when logged is true; on a shell
// failure logs failMsg (when not null) and returns -1, else 0.
int hostRun(const char *cmd, bool logged, const char *failMsg);

// Same, with the command formatted into a zeroed 128-byte buffer.  A command
// that does not fit is not run: it is logged as a failure and -1 returned.
int hostRunf(bool logged, const char *failMsg, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Same, but a command that runs and ends with a status other than 0 fails
// too.  For the commands that write the PA data file: a line the shell could
// not write (a full /var) must not reach NVRAM as if it had been.
int hostRunfChecked(bool logged, const char *failMsg, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Reads the output of a fixed command into buf (n bytes, zeroed first); the
// text is NUL-terminated inside buf.  The command is logged first.
// Returns the number of bytes read (> 0); 0 when nothing was read ("fread
// fail." logged); -1 when the pipe could not be opened (pipeFailMsg logged).
long hostRead(const char *cmd, char *buf, size_t n, const char *pipeFailMsg);
