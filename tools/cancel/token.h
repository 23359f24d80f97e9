// A way out of every blocking wait of the station.
//
// A Token is raised from any thread, or from a signal handler, and is seen
// by every wait it is handed: a socket wait (waitFd), a sleep (sleepFor)
// and the tester's queue.  A unit's token has the process's token as its
// parent, so Ctrl-C ends every unit's waits and Stop on the operator page
// ends one unit's.  A raised token stays raised: later waits end at once.
//
// Plain POSIX, no dependency on the rest of the station, so that the
// instrument library below the station waits on the same token.
#pragma once

#include <atomic>
#include <cstdint>

namespace cancel {

class Token {
  public:
    explicit Token(const Token *parent = nullptr);
    ~Token();
    Token(const Token &) = delete;
    Token &operator=(const Token &) = delete;

    // Async-signal-safe; a second raise changes nothing.
    void raise();
    // This token or its parent was raised.
    bool raised() const;
    // The pipes that turn readable when it is raised, this token's and its
    // parent's (-1 where there is none), for poll().
    void fds(int out[2]) const;

  private:
    const Token *parent_;
    std::atomic<bool> raised_{false};
    int wake_[2];
};

// The process's token: raised by SIGINT, SIGTERM and SIGHUP once the
// station catches them.
Token &process();

// Monotonic milliseconds.
int64_t nowMs();

enum class Wake { Ready, Timeout, Cancelled, Error };

// Waits until fd (may be -1: none) has one of events, the deadline
// (nowMs() based; negative: none) passes or stop (null: nothing) is
// raised.  Error leaves errno from poll().
Wake waitFd(int fd, short events, int64_t deadlineMs, const Token *stop);

// Sleeps ms milliseconds; false when stop was raised first.
bool sleepFor(uint32_t ms, const Token *stop);

}  // namespace cancel
