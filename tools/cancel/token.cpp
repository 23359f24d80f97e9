// A way out of every blocking wait (see token.h).
#include "cancel/token.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace cancel {

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler raises a token");

Token::Token(const Token *parent) : parent_(parent) {
    // Written once on raise and never read, so it stays readable and wakes
    // every poll of every thread that waits on it.
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) wake_[0] = wake_[1] = -1;
}

Token::~Token() {
    if (wake_[0] >= 0) close(wake_[0]);
    if (wake_[1] >= 0) close(wake_[1]);
}

void Token::raise() {
    int saved = errno;
    if (!raised_.exchange(true, std::memory_order_relaxed) && wake_[1] >= 0)
        (void)!write(wake_[1], "", 1);
    errno = saved;
}

bool Token::raised() const {
    return raised_.load(std::memory_order_relaxed) || (parent_ && parent_->raised());
}

void Token::fds(int out[2]) const {
    out[0] = wake_[0];
    out[1] = parent_ ? parent_->wake_[0] : -1;
}

Token &process() {
    static Token t;
    return t;
}

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

Wake waitFd(int fd, short events, int64_t deadlineMs, const Token *stop) {
    for (;;) {
        if (stop && stop->raised()) return Wake::Cancelled;
        int64_t left = deadlineMs < 0 ? -1 : deadlineMs - nowMs();
        if (deadlineMs >= 0 && left <= 0) return Wake::Timeout;
        pollfd p[3] = {{fd, events, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        if (stop) {
            int w[2];
            stop->fds(w);
            p[1].fd = w[0];
            p[2].fd = w[1];
        }
        int r = poll(p, 3, left > INT_MAX ? INT_MAX : (int)left);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Wake::Error;
        }
        if (r > 0 && fd >= 0 && p[0].revents) return Wake::Ready;
        // Woken by the token, or the time is up: the loop's head decides.
    }
}

bool sleepFor(uint32_t ms, const Token *stop) {
    return waitFd(-1, 0, nowMs() + ms, stop) != Wake::Cancelled;
}

}  // namespace cancel
