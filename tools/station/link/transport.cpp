// rfprobe station: the UDP sockets, and waiting for replies.
#include "station/link/transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "station/link/output.h"

namespace station {

namespace {

std::atomic<bool> gSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

void onSignal(int sig) {
    if (gSignalled.exchange(true, std::memory_order_relaxed)) {
        // The second one: the user will not wait for the runs to end.
        static const char msg[] = "rfprobe: interrupted again, exiting at once\n";
        (void)!write(STDERR_FILENO, msg, sizeof msg - 1);
        _exit(128 + sig);
    }
    cancel::process().raise();
}

// say() into a buffer, then to the notes; also copied to info->error.
void failWith(const Link &l, ExchangeInfo *info, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void failWith(const Link &l, ExchangeInfo *info, const char *fmt, ...) {
    char msg[kErrLen];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    say(l, "%s", msg);
    if (info) snprintf(info->error, sizeof info->error, "%s", msg);
}

using cancel::nowMs;

int bindToDevice(const Link &l, int fd, const char *iface, const char *what) {
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface, (socklen_t)strlen(iface) + 1) == 0)
        return 0;
    int e = errno;
    say(l, "cannot bind the %s socket to interface %s: %s%s", what, iface, strerror(e),
        e == EPERM ? " (before Linux 5.7, --iface needs root or CAP_NET_RAW)" : "");
    return -1;
}

// Reads what is queued on the reply socket without waiting: replies that
// arrived before a request was sent do not answer it.
void drain(const Link &l, const Options &opt) {
    uint8_t buf[2048];
    ssize_t n;
    while ((n = recv(l.rxFd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        if (opt.verbose) say(l, "dropped a stale packet (%zd bytes)", n);
}

enum class Wait { Packet, Timeout, Interrupted, Error };

// Waits until deadline (-1: for ever) for one datagram on the reply socket;
// the link's token ends the wait unless it must not be interrupted.
Wait receive(const Link &l, int64_t deadline, uint8_t *buf, size_t cap, size_t *len,
             char from[kFromLen], bool interruptible = true) {
    for (;;) {
        cancel::Wake w = cancel::waitFd(l.rxFd, POLLIN, deadline, interruptible ? l.stop : nullptr);
        if (w == cancel::Wake::Cancelled) return Wait::Interrupted;
        if (w == cancel::Wake::Timeout) return Wait::Timeout;
        if (w == cancel::Wake::Error) {
            say(l, "poll: %s", strerror(errno));
            return Wait::Error;
        }
        sockaddr_in sender{};
        socklen_t fl = sizeof sender;
        ssize_t n = recvfrom(l.rxFd, buf, cap, MSG_DONTWAIT, (sockaddr *)&sender, &fl);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED) continue;
            say(l, "recvfrom: %s", strerror(errno));
            return Wait::Error;
        }
        char a[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sender.sin_addr, a, sizeof a);
        snprintf(from, kFromLen, "%s:%u", a, ntohs(sender.sin_port));
        *len = (size_t)n;
        return Wait::Packet;
    }
}

void noteIgnored(const Link &l, const Options &opt, ReplyCheck c, const TestMsg &r, size_t len,
                 const char *from) {
    if (!opt.verbose) return;
    if (c == ReplyCheck::OtherCode)
        say(l, "ignored a reply with code 0x%02x from %s", r.cmdType, from);
    else
        say(l, "ignored a %zu-byte packet from %s (%s)", len, from,
            c == ReplyCheck::Truncated ? "too short" : "no magic");
}

}  // namespace

void say(const Link &l, const char *fmt, ...) {
    char msg[2 * kErrLen];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (l.notes)
        l.notes->push_back(msg);
    else
        fprintf(stderr, "rfprobe: %s\n", msg);
}

ReplyCheck checkReply(const uint8_t *buf, size_t len, int expectedCode, TestMsg *out) {
    if (len < kReplyPayloadLen) return ReplyCheck::Truncated;
    if (!hasTestMagic(buf, len)) return ReplyCheck::BadMagic;
    *out = decodeTestMsg(buf, kReplyPayloadLen);
    if (expectedCode >= 0 && out->cmdType != (uint8_t)expectedCode) return ReplyCheck::OtherCode;
    return ReplyCheck::Match;
}

void closeLink(Link *l) {
    if (l->rxFd >= 0) close(l->rxFd);
    if (l->txFd >= 0) close(l->txFd);
    l->rxFd = l->txFd = -1;
}

int openLink(const Options &opt, Link *l) {
    int one = 1;
    l->rxFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    l->txFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (l->rxFd < 0 || l->txFd < 0) {
        say(*l, "cannot open a UDP socket: %s", strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    // Another station instance (a second terminal running "listen") may hold
    // the port too; broadcasts reach every socket bound with SO_REUSEADDR.
    setsockopt(l->rxFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (opt.iface[0] && (bindToDevice(*l, l->rxFd, opt.iface, "listening") < 0 ||
                         bindToDevice(*l, l->txFd, opt.iface, "sending") < 0)) {
        closeLink(l);
        return kExitSocket;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kTestReplyPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(l->rxFd, (const sockaddr *)&any, sizeof any) < 0) {
        say(*l, "cannot listen on UDP port %u: %s", kTestReplyPort, strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    if (setsockopt(l->txFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
        say(*l, "cannot allow broadcast: %s", strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    l->to.sin_family = AF_INET;
    l->to.sin_port = htons(kTestReqPort);
    inet_pton(AF_INET, opt.to, &l->to.sin_addr);  // checked when parsed
    return kExitOk;
}

int exchange(const Link &l, const Options &opt, const char *name, const TestMsg &req,
             unsigned retries, TestMsg *reply, char from[kFromLen], ExchangeInfo *info) {
    uint8_t payload[kReqPayloadLen];
    encodeTestMsg(req, payload, sizeof payload);
    bool interruptible = !(info && info->evenIfInterrupted);
    for (unsigned attempt = 0; attempt <= retries; ++attempt) {
        drain(l, opt);
        if (opt.verbose) {
            char bytes[kRequestTextLen];
            formatRequest(req, bytes, sizeof bytes);
            say(l, "%s", bytes);
        }
        if (info) info->attempts = attempt + 1;
        if (sendto(l.txFd, payload, sizeof payload, 0, (const sockaddr *)&l.to, sizeof l.to) < 0) {
            int e = errno;
            char to[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &l.to.sin_addr, to, sizeof to);
            // Without --iface a broadcast leaves by the default route; a PC
            // without one has nowhere to send it.
            bool hint = e == ENETUNREACH && !opt.iface[0];
            failWith(l, info, "%s: cannot send to %s:%u: %s%s", name, to, kTestReqPort, strerror(e),
                     hint ? " (no route: name the router's interface with --iface IF)" : "");
            return kExitSocket;
        }
        int64_t deadline = nowMs() + opt.timeoutMs;
        for (;;) {
            uint8_t buf[2048];
            size_t len = 0;
            Wait w = receive(l, deadline, buf, sizeof buf, &len, from, interruptible);
            if (w == Wait::Interrupted) {
                failWith(l, info, "%s: interrupted", name);
                return kExitInterrupted;
            }
            if (w == Wait::Error) {
                if (info) snprintf(info->error, sizeof info->error, "%s: socket error", name);
                return kExitSocket;
            }
            if (w == Wait::Timeout) break;
            ReplyCheck c = checkReply(buf, len, req.cmdType, reply);
            if (c == ReplyCheck::Match) {
                if (opt.verbose) say(l, "reply from %s", from);
                return kExitOk;
            }
            noteIgnored(l, opt, c, *reply, len, from);
        }
        if (attempt < retries)
            say(l, "%s: no reply within %u ms, sending again (%u of %u)", name, opt.timeoutMs,
                attempt + 1, retries);
    }
    failWith(l, info, "%s (0x%02x): no reply within %u ms", name, req.cmdType, opt.timeoutMs);
    return kExitNoReply;
}

bool nextReply(const Link &l, const Options &opt, TestMsg *reply, char from[kFromLen],
               int *status) {
    for (;;) {
        uint8_t buf[2048];
        size_t len = 0;
        Wait w = receive(l, -1, buf, sizeof buf, &len, from);
        if (w != Wait::Packet) {
            *status = w == Wait::Interrupted ? kExitOk : kExitSocket;
            return false;
        }
        ReplyCheck c = checkReply(buf, len, -1, reply);
        if (c == ReplyCheck::Match) return true;
        noteIgnored(l, opt, c, *reply, len, from);
    }
}

bool waitMs(uint32_t ms, const cancel::Token *stop) { return cancel::sleepFor(ms, stop); }

bool interruptedBySignal() { return gSignalled.load(std::memory_order_relaxed); }

void catchInterrupts() {
    cancel::process();  // its pipe exists before the first signal
    struct sigaction sa {};
    sa.sa_handler = onSignal;  // no SA_RESTART: waits return early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

}  // namespace station
