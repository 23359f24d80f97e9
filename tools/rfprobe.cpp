// rfprobe: the station's command-line tool.
//
// Sends test requests to UDP port 1060 and waits for the agent's broadcast
// replies on UDP port 1062.  The replies come from the agent's fixed address,
// not from the address the request went to, so the listening socket is bound
// to 0.0.0.0:1062 and never connected.  Parsing, encoding and decoding live in
// tools/station; this file holds the sockets, the waits and main.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "station/station.h"

using namespace station;

namespace {

volatile sig_atomic_t gInterrupted = 0;

void onSignal(int) { gInterrupted = 1; }

struct Link {
    int rxFd = -1;  // bound to 0.0.0.0:1062
    int txFd = -1;  // sends to ADDR:1060
    sockaddr_in to{};
};

void closeLink(Link *l) {
    if (l->rxFd >= 0) close(l->rxFd);
    if (l->txFd >= 0) close(l->txFd);
    l->rxFd = l->txFd = -1;
}

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

// Reads what is queued on the reply socket without waiting: replies that
// arrived before a request was sent do not answer it.
void drain(const Link &l, const Options &opt) {
    uint8_t buf[2048];
    ssize_t n;
    while ((n = recv(l.rxFd, buf, sizeof buf, MSG_DONTWAIT)) >= 0)
        if (opt.verbose) fprintf(stderr, "rfprobe: dropped a stale packet (%zd bytes)\n", n);
}

void describeSender(const sockaddr_in &from, char *buf, size_t len) {
    char a[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, a, sizeof a);
    snprintf(buf, len, "%s:%u", a, ntohs(from.sin_port));
}

enum class Wait { Packet, Timeout, Interrupted, Error };

// Waits until deadline for one datagram on the reply socket.
Wait receive(const Link &l, int64_t deadline, uint8_t *buf, size_t cap, size_t *len,
             sockaddr_in *from) {
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
        socklen_t fl = sizeof *from;
        ssize_t n = recvfrom(l.rxFd, buf, cap, 0, (sockaddr *)from, &fl);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNREFUSED) continue;
            fprintf(stderr, "rfprobe: recvfrom: %s\n", strerror(errno));
            return Wait::Error;
        }
        *len = (size_t)n;
        return Wait::Packet;
    }
}

void printReply(const Options &opt, const Reply &r, const char *from, bool generic, int chain) {
    char line[512];
    if (opt.json)
        formatReplyJson(r, from, line, sizeof line);
    else
        formatReplyText(r, generic, chain, line, sizeof line);
    printf("%s\n", line);
    fflush(stdout);
}

void printRequest(const Request &req) {
    uint8_t b[kReqPayloadLen];
    encodeRequest(req, b);
    fprintf(stderr, "rfprobe: request to port %u:", kTestReqPort);
    for (size_t i = 0; i < sizeof b; ++i) fprintf(stderr, " %02x", b[i]);
    fputc('\n', stderr);
}

// Sends one request and waits for its reply; never repeats the request unless
// retries (given only for requests that are safe to repeat) says so.
int transact(const Link &l, const Options &opt, const char *word, const Request &req,
             unsigned retries, bool generic, Reply *out) {
    uint8_t payload[kReqPayloadLen];
    encodeRequest(req, payload);
    const char *name = word ? word : "raw";
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
            sockaddr_in from{};
            Wait w = receive(l, deadline, buf, sizeof buf, &len, &from);
            if (w == Wait::Interrupted) {
                fprintf(stderr, "rfprobe: %s: interrupted\n", name);
                return kExitInterrupted;
            }
            if (w == Wait::Error) return kExitSocket;
            if (w == Wait::Timeout) break;
            char src[64];
            describeSender(from, src, sizeof src);
            Reply r;
            ReplyCheck c = checkReply(buf, len, req.code, &r);
            if (c == ReplyCheck::Match) {
                if (opt.verbose) fprintf(stderr, "rfprobe: reply from %s\n", src);
                printReply(opt, r, src, generic, req.code == CMD_READ_PA_PARAMS ? req.chain : -1);
                if (out) *out = r;
                return kExitOk;
            }
            if (opt.verbose) {
                if (c == ReplyCheck::OtherCode)
                    fprintf(stderr, "rfprobe: ignored a reply with code 0x%02x from %s\n", r.code,
                            src);
                else
                    fprintf(stderr, "rfprobe: ignored a %zu-byte packet from %s (%s)\n", len, src,
                            c == ReplyCheck::Truncated ? "too short" : "no magic");
            }
        }
        if (attempt < retries)
            fprintf(stderr, "rfprobe: %s: no reply within %u ms, sending again (%u of %u)\n", name,
                    opt.timeoutMs, attempt + 1, retries);
    }
    fprintf(stderr, "rfprobe: %s (0x%02x): no reply within %u ms\n", name, req.code,
            opt.timeoutMs);
    return kExitNoReply;
}

// Sleeps ms milliseconds; returns false when interrupted.
bool waitMs(uint32_t ms) {
    int64_t end = nowMs() + ms;
    for (;;) {
        if (gInterrupted) return false;
        int64_t left = end - nowMs();
        if (left <= 0) return true;
        poll(nullptr, 0, (int)(left > 1000 ? 1000 : left));
    }
}

int runAction(const Link &l, const Options &opt, const Action &a) {
    switch (a.kind) {
    case ActionKind::Send:
        return transact(l, opt, a.word, a.req, a.retries, strcmp(a.word, "raw") == 0, nullptr);
    case ActionKind::Rx: {
        int rc = transact(l, opt, "start-rx", a.req, 0, false, nullptr);
        if (rc != kExitOk) return rc;
        if (opt.verbose) fprintf(stderr, "rfprobe: receiving for %u ms\n", a.waitMs);
        bool whole = waitMs(a.waitMs);
        if (!whole) {
            fprintf(stderr, "rfprobe: rx: wait interrupted, stopping the receive test\n");
            gInterrupted = 0;
        }
        Request stop{};
        stop.code = CMD_STOP_RX;
        rc = transact(l, opt, "stop-rx", stop, 0, false, nullptr);
        return rc == kExitOk && !whole ? kExitInterrupted : rc;
    }
    case ActionKind::Sleep:
        return waitMs(a.waitMs) ? kExitOk : kExitInterrupted;
    case ActionKind::Listen:
    case ActionKind::Run:
        break;
    }
    return kExitUsage;
}

int listenLoop(const Link &l, const Options &opt) {
    for (;;) {
        uint8_t buf[2048];
        size_t len = 0;
        sockaddr_in from{};
        Wait w = receive(l, -1, buf, sizeof buf, &len, &from);
        if (w == Wait::Interrupted) return kExitOk;
        if (w != Wait::Packet) return kExitSocket;
        char src[64];
        describeSender(from, src, sizeof src);
        Reply r;
        ReplyCheck c = checkReply(buf, len, -1, &r);
        if (c == ReplyCheck::Match)
            printReply(opt, r, src, true, -1);
        else if (opt.verbose)
            fprintf(stderr, "rfprobe: ignored a %zu-byte packet from %s (%s)\n", len, src,
                    c == ReplyCheck::Truncated ? "too short" : "no magic");
    }
}

int runPlan(const Options &opt, const Action &a) {
    FILE *in = strcmp(a.path, "-") == 0 ? stdin : fopen(a.path, "r");
    if (!in) {
        fprintf(stderr, "rfprobe: run: cannot open %s: %s\n", a.path, strerror(errno));
        return kExitUsage;
    }
    const char *name = in == stdin ? "<stdin>" : a.path;
    std::vector<PlanStep> steps;
    char err[kErrLen];
    bool ok = loadPlan(in, name, &steps, err, sizeof err);
    if (in != stdin) fclose(in);
    if (!ok) {
        fprintf(stderr, "rfprobe: %s (nothing was sent)\n", err);
        return kExitUsage;
    }
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    for (const PlanStep &s : steps) {
        if (opt.verbose) fprintf(stderr, "rfprobe: %s:%d: %s\n", name, s.line, s.action.word);
        rc = runAction(l, opt, s.action);
        if (rc != kExitOk) {
            fprintf(stderr, "rfprobe: plan %s stopped at line %d (%s), exit status %d\n", name,
                    s.line, s.action.word, rc);
            break;
        }
    }
    closeLink(&l);
    return rc;
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    defaultOptions(&opt);
    char err[kErrLen];
    int next = 0;
    ParseResult pr = parseGlobalOptions(argc, argv, &next, &opt, err, sizeof err);
    if (pr == ParseResult::Help) {
        fputs(mainHelp(), stdout);
        return kExitOk;
    }
    if (pr == ParseResult::Error) {
        fprintf(stderr, "rfprobe: %s\n", err);
        return kExitUsage;
    }
    if (next >= argc) {
        fprintf(stderr, "rfprobe: no command given (try rfprobe --help)\n");
        return kExitUsage;
    }
    if (strcmp(argv[next], "help") == 0) {
        const char *page = next + 1 < argc ? commandHelp(argv[next + 1]) : mainHelp();
        if (!page) {
            fprintf(stderr, "rfprobe: unknown command '%s'\n", argv[next + 1]);
            return kExitUsage;
        }
        fputs(page, stdout);
        return kExitOk;
    }
    Action act;
    pr = parseAction(argc - next, argv + next, &opt, &act, err, sizeof err);
    if (pr == ParseResult::Help) {
        const char *page = act.word ? commandHelp(act.word) : nullptr;
        if (!page) {
            fprintf(stderr, "rfprobe: unknown command '%s' (try rfprobe --help)\n", argv[next]);
            return kExitUsage;
        }
        fputs(page, stdout);
        return kExitOk;
    }
    if (pr == ParseResult::Error) {
        fprintf(stderr, "rfprobe: %s\n", err);
        return kExitUsage;
    }

    struct sigaction sa{};
    sa.sa_handler = onSignal;  // no SA_RESTART: waits return early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (act.kind == ActionKind::Run) return runPlan(opt, act);
    if (act.kind == ActionKind::Sleep) return runAction(Link{}, opt, act);
    Link l;
    int rc = openLink(opt, &l);
    if (rc != kExitOk) return rc;
    rc = act.kind == ActionKind::Listen ? listenLoop(l, opt) : runAction(l, opt, act);
    closeLink(&l);
    return rc;
}
