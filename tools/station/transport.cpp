// rfprobe station: the UDP sockets, and waiting for replies.
#include "station/transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "station/output.h"

namespace station {

namespace {

volatile sig_atomic_t gInterrupted = 0;

void onSignal(int) { gInterrupted = 1; }

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int bindToDevice(int fd, const char *iface, const char *what) {
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, iface, (socklen_t)strlen(iface) + 1) == 0)
        return 0;
    int e = errno;
    fprintf(stderr, "rfprobe: cannot bind the %s socket to interface %s: %s%s\n", what, iface,
            strerror(e), e == EPERM ? " (--iface needs root or CAP_NET_RAW)" : "");
    return -1;
}

// Reads what is queued on the reply socket without waiting: replies that
// arrived before a request was sent do not answer it.
void drain(const Link &l, const Options &opt) {
    uint8_t buf[2048];
    ssize_t n;
    while ((n = recv(l.rxFd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        if (opt.verbose) fprintf(stderr, "rfprobe: dropped a stale packet (%zd bytes)\n", n);
}

enum class Wait { Packet, Timeout, Interrupted, Error };

// Waits until deadline (-1: for ever) for one datagram on the reply socket.
Wait receive(const Link &l, int64_t deadline, uint8_t *buf, size_t cap, size_t *len,
             char from[kFromLen]) {
    for (;;) {
        if (gInterrupted) return Wait::Interrupted;
        int64_t left = deadline < 0 ? -1 : deadline - nowMs();
        if (deadline >= 0 && left <= 0) return Wait::Timeout;
        pollfd p{l.rxFd, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "rfprobe: poll: %s\n", strerror(errno));
            return Wait::Error;
        }
        if (r == 0) continue;
        sockaddr_in sender{};
        socklen_t fl = sizeof sender;
        ssize_t n = recvfrom(l.rxFd, buf, cap, 0, (sockaddr *)&sender, &fl);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED) continue;
            fprintf(stderr, "rfprobe: recvfrom: %s\n", strerror(errno));
            return Wait::Error;
        }
        char a[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &sender.sin_addr, a, sizeof a);
        snprintf(from, kFromLen, "%s:%u", a, ntohs(sender.sin_port));
        *len = (size_t)n;
        return Wait::Packet;
    }
}

void noteIgnored(const Options &opt, ReplyCheck c, const TestMsg &r, size_t len,
                 const char *from) {
    if (!opt.verbose) return;
    if (c == ReplyCheck::OtherCode)
        fprintf(stderr, "rfprobe: ignored a reply with code 0x%02x from %s\n", r.cmdType, from);
    else
        fprintf(stderr, "rfprobe: ignored a %zu-byte packet from %s (%s)\n", len, from,
                c == ReplyCheck::Truncated ? "too short" : "no magic");
}

}  // namespace

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
        fprintf(stderr, "rfprobe: cannot open a UDP socket: %s\n", strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    // Another station instance (a second terminal running "listen") may hold
    // the port too; broadcasts reach every socket bound with SO_REUSEADDR.
    setsockopt(l->rxFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (opt.iface[0] && (bindToDevice(l->rxFd, opt.iface, "listening") < 0 ||
                         bindToDevice(l->txFd, opt.iface, "sending") < 0)) {
        closeLink(l);
        return kExitSocket;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kTestReplyPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(l->rxFd, (const sockaddr *)&any, sizeof any) < 0) {
        fprintf(stderr, "rfprobe: cannot listen on UDP port %u: %s\n", kTestReplyPort,
                strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    if (setsockopt(l->txFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
        fprintf(stderr, "rfprobe: cannot allow broadcast: %s\n", strerror(errno));
        closeLink(l);
        return kExitSocket;
    }
    l->to.sin_family = AF_INET;
    l->to.sin_port = htons(kTestReqPort);
    inet_pton(AF_INET, opt.to, &l->to.sin_addr);  // checked when parsed
    return kExitOk;
}

int exchange(const Link &l, const Options &opt, const char *name, const TestMsg &req,
             unsigned retries, TestMsg *reply, char from[kFromLen]) {
    uint8_t payload[kReqPayloadLen];
    encodeTestMsg(req, payload, sizeof payload);
    for (unsigned attempt = 0; attempt <= retries; ++attempt) {
        drain(l, opt);
        if (opt.verbose) printRequest(req);
        if (sendto(l.txFd, payload, sizeof payload, 0, (const sockaddr *)&l.to, sizeof l.to) < 0) {
            int e = errno;
            fprintf(stderr, "rfprobe: %s: cannot send to %s:%u: %s\n", name, opt.to, kTestReqPort,
                    strerror(e));
            return kExitSocket;
        }
        int64_t deadline = nowMs() + opt.timeoutMs;
        for (;;) {
            uint8_t buf[2048];
            size_t len = 0;
            Wait w = receive(l, deadline, buf, sizeof buf, &len, from);
            if (w == Wait::Interrupted) {
                fprintf(stderr, "rfprobe: %s: interrupted\n", name);
                return kExitInterrupted;
            }
            if (w == Wait::Error) return kExitSocket;
            if (w == Wait::Timeout) break;
            ReplyCheck c = checkReply(buf, len, req.cmdType, reply);
            if (c == ReplyCheck::Match) {
                if (opt.verbose) fprintf(stderr, "rfprobe: reply from %s\n", from);
                return kExitOk;
            }
            noteIgnored(opt, c, *reply, len, from);
        }
        if (attempt < retries)
            fprintf(stderr, "rfprobe: %s: no reply within %u ms, sending again (%u of %u)\n", name,
                    opt.timeoutMs, attempt + 1, retries);
    }
    fprintf(stderr, "rfprobe: %s (0x%02x): no reply within %u ms\n", name, req.cmdType,
            opt.timeoutMs);
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
        noteIgnored(opt, c, *reply, len, from);
    }
}

bool waitMs(uint32_t ms) {
    int64_t end = nowMs() + ms;
    for (;;) {
        if (gInterrupted) return false;
        int64_t left = end - nowMs();
        if (left <= 0) return true;
        poll(nullptr, 0, (int)(left > 1000 ? 1000 : left));
    }
}

void catchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;  // no SA_RESTART: waits return early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void clearInterrupt() { gInterrupted = 0; }

}  // namespace station
