#include "instrument/scpi.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "format/text.h"

namespace instrument {

namespace {

long long nowMs() { return cancel::nowMs(); }

constexpr const char *kStopped = "stopped (the connection is closed, which ends what the tester was doing)";

std::string upper(std::string s) {
    for (char &c : s) c = (char)toupper((unsigned char)c);
    return s;
}

std::vector<std::string> splitColons(const std::string &s) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find("::", start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) return parts;
        start = p + 2;
    }
}

// Waits until fd is ready for events, the deadline passes or stop is
// raised.  0 ready, 1 timed out, -1 error, 2 stopped.
int waitFd(int fd, short events, long long deadline, const cancel::Token *stop) {
    switch (cancel::waitFd(fd, events, deadline, stop)) {
    case cancel::Wake::Ready: return 0;
    case cancel::Wake::Timeout: return 1;
    case cancel::Wake::Cancelled: return 2;
    case cancel::Wake::Error: break;
    }
    return -1;
}

// getaddrinfo in a thread of its own, so that the wait for a slow name
// server ends at once on stop: the lookup then finishes unwatched and
// frees its answer.  getaddrinfo's code, or kLookupStopped.
constexpr int kLookupStopped = 1;  // never one of getaddrinfo's (0 or negative)

struct Lookup {
    std::mutex mu;
    bool abandoned = false;
    int rc = EAI_SYSTEM;
    struct addrinfo *ai = nullptr;
    int done[2] = {-1, -1};  // a pipe written once the answer is in
    ~Lookup() {
        if (ai) freeaddrinfo(ai);
        for (int fd : done)
            if (fd >= 0) close(fd);
    }
};

int resolve(const std::string &host, const std::string &port, const struct addrinfo &hints,
            struct addrinfo **out, const cancel::Token *stop) {
    // Without a token (the abort that follows a Stop, on a fresh
    // connection) nothing may cut it short.
    if (!stop) return getaddrinfo(host.c_str(), port.c_str(), &hints, out);
    auto l = std::make_shared<Lookup>();
    if (pipe2(l->done, O_CLOEXEC) != 0) return EAI_SYSTEM;
    try {
        std::thread([l, host, port, hints] {
            struct addrinfo *ai = nullptr;
            int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &ai);
            std::lock_guard<std::mutex> g(l->mu);
            l->rc = rc, l->ai = ai;
            if (!l->abandoned) (void)!write(l->done[1], "", 1);
        }).detach();
    } catch (const std::system_error &) {
        return getaddrinfo(host.c_str(), port.c_str(), &hints, out);
    }
    int w = waitFd(l->done[0], POLLIN, -1LL, stop);
    std::lock_guard<std::mutex> g(l->mu);
    if (w != 0) {
        l->abandoned = true;
        return w == 2 ? kLookupStopped : EAI_SYSTEM;
    }
    *out = l->ai;
    l->ai = nullptr;
    return l->rc;
}

bool printable(const std::string &s) {
    for (unsigned char c : s)
        if ((c < 32 && c != '\t') || c == 127) return false;
    return true;
}

}  // namespace

std::string quotedReply(const std::string &s) {
    std::string o;
    for (size_t i = 0; i < s.size() && i < 60; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 32 && c < 127) {
            o += (char)c;
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        }
    }
    if (s.size() > 60) o += "...";
    return "\"" + o + "\"";
}

bool parseResource(const std::string &text, Resource *out, std::string *err) {
    std::vector<std::string> p = splitColons(text);
    std::string first = upper(p[0]);
    bool tcpip = first == "TCPIP" || (first.size() > 5 && first.compare(0, 5, "TCPIP") == 0 &&
                                      strspn(first.c_str() + 5, "0123456789") == first.size() - 5);
    std::string last = p.size() > 1 ? upper(p.back()) : "";
    if (!tcpip || (last != "SOCKET" && last != "INSTR" && last.compare(0, 4, "HISL") != 0)) {
        *err = "resource \"" + text + "\": expected TCPIP::HOST[::PORT]::SOCKET (a raw SCPI socket)";
        return false;
    }
    if (last != "SOCKET") {
        *err = "resource \"" + text + "\": only raw SCPI sockets (TCPIP::HOST[::PORT]::SOCKET) are supported, "
               "not VXI-11 or HiSLIP instruments";
        return false;
    }
    if (p.size() != 3 && p.size() != 4) {
        *err = "resource \"" + text + "\": expected TCPIP::HOST[::PORT]::SOCKET";
        return false;
    }
    if (p[1].empty()) {
        *err = "resource \"" + text + "\": no host";
        return false;
    }
    Resource r;
    r.text = text;
    r.host = p[1];
    if (p.size() == 4) {
        const std::string &ps = p[2];
        char *end = nullptr;
        long v = ps.empty() ? 0 : strtol(ps.c_str(), &end, 10);
        if (ps.empty() || *end || strspn(ps.c_str(), "0123456789") != ps.size() || v < 1 || v > 65535) {
            *err = "resource \"" + text + "\": port \"" + ps + "\" is not a number 1-65535";
            return false;
        }
        r.port = (uint16_t)v;
    }
    *out = r;
    return true;
}

bool parseQueueEntry(const std::string &reply, QueueEntry *out) {
    const char *s = reply.c_str();
    char *end = nullptr;
    errno = 0;
    long code = strtol(s, &end, 10);
    if (end == s || errno || code < -32768 || code > 32767) return false;
    while (*end == ' ') end++;
    if (*end != ',') return false;
    end++;
    while (*end == ' ') end++;
    if (*end != '"') return false;
    std::string text;
    const char *q = end + 1;
    for (;; q++) {
        if (!*q) return false;
        if (*q == '"') {
            if (q[1] == '"') {  // "" is a quote inside the string
                text += '"';
                q++;
                continue;
            }
            break;
        }
        text += *q;
    }
    q++;
    while (*q == ' ') q++;
    if (*q) return false;
    out->code = (int)code;
    // A TAB or a Latin-1 byte in the tester's message is no reason to
    // lose it, nor to let it cost the record it ends up in.
    out->text = format::printableUtf8(text, kMaxTesterText);
    return true;
}

bool parseNumber(const std::string &reply, double *out, Fault *fault) {
    const char *s = reply.c_str();
    while (*s == ' ' || *s == '\t') s++;
    // Only what a decimal number is made of: no "inf", "nan" or hex.
    size_t n = strspn(s, "+-0123456789.eE");
    const char *t = s + n;
    while (*t == ' ' || *t == '\t') t++;
    char *end = nullptr;
    errno = 0;
    double v = n ? strtod(s, &end) : 0;
    if (!n || *t || end != s + n || errno == ERANGE || !std::isfinite(v)) {
        *fault = Fault::BadReply;
        return false;
    }
    // 9.91E37 is not-a-number, +-9.9E37 the infinities; nothing a tester
    // measures comes near them.
    if (std::fabs(v) >= 9.0e37) {
        *fault = Fault::NotANumber;
        return false;
    }
    *out = v;
    return true;
}

Instrument::Instrument(std::string role, Resource res, Timeouts t)
    : role_(std::move(role)), res_(std::move(res)), t_(t) {}

Instrument::~Instrument() { disconnect(); }

std::string Instrument::idn() const {
    std::lock_guard<std::mutex> lock(idnMu_);
    return idn_;
}

std::string Instrument::name() const {
    std::string n = role_ + " " + res_.text;
    std::string id = idn();
    if (!id.empty()) {
        // "maker,model,serial,firmware": maker and model are enough.
        size_t c1 = id.find(',');
        size_t c2 = c1 == std::string::npos ? c1 : id.find(',', c1 + 1);
        std::string who = id.substr(0, c2);
        if (c1 != std::string::npos) who[c1] = ' ';
        n += " (" + who + ")";
    }
    return n;
}

void Instrument::disconnect() {
    Session s(*this);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    in_.clear();
    blockEnd_ = false;
}

bool Instrument::fail(Fault f, const std::string &cmd, const std::string &what, Error *err) {
    // Whatever was under way may still arrive: never read it as the next
    // reply.
    if (f == Fault::Timeout || f == Fault::Closed || f == Fault::BadReply || f == Fault::Connect ||
        f == Fault::Cancelled) {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        in_.clear();
        blockEnd_ = false;
    }
    err->fault = f;
    err->message = name() + (cmd.empty() ? "" : ": " + cmd) + ": " + what;
    return false;
}

bool Instrument::connect(Error *err) {
    Session s(*this);
    if (fd_ >= 0) return true;
    std::string where = "connect";
    struct addrinfo hints = {}, *ai = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    std::string port = std::to_string(res_.port);
    int rc = resolve(res_.host, port, hints, &ai, stop_);
    if (rc == kLookupStopped) return fail(Fault::Cancelled, "", kStopped, err);
    if (rc != 0) return fail(Fault::Connect, "", "cannot resolve " + res_.host + ": " + gai_strerror(rc), err);
    long long deadline = nowMs() + t_.connectMs;
    std::string why = "no address";
    for (struct addrinfo *a = ai; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            why = strerror(errno);
            continue;
        }
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            int w = waitFd(fd, POLLOUT, deadline, stop_);
            if (w == 2) {
                close(fd);
                freeaddrinfo(ai);
                return fail(Fault::Cancelled, "", kStopped, err);
            }
            if (w == 1) {
                why = "no answer within " + std::to_string(t_.connectMs) + " ms";
                close(fd);
                continue;
            }
            int soerr = 0;
            socklen_t len = sizeof soerr;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
            r = soerr ? -1 : 0;
            errno = soerr;
        }
        if (r != 0) {
            why = strerror(errno);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
        break;
    }
    freeaddrinfo(ai);
    if (fd_ < 0) return fail(Fault::Connect, "", "cannot connect: " + why, err);
    in_.clear();
    blockEnd_ = false;
    if (greet(err)) return true;
    // Left open, the next connect would return at once, with no *IDN? and
    // no drain, and the stale errors would be blamed on the next command.
    disconnect();
    return false;
}

// *IDN?, then the error queue emptied, on a connection just opened.
bool Instrument::greet(Error *err) {
    std::string idn;
    if (!query("*IDN?", &idn, err)) return false;
    if (idn.empty()) return fail(Fault::BadReply, "*IDN?", "empty reply", err);
    {
        std::lock_guard<std::mutex> lock(idnMu_);
        idn_ = format::printableUtf8(idn, kMaxTesterText);
    }
    // What an earlier session left in the queue is not ours to report,
    // however deep it is.
    if (!clear_.empty() && !write(clear_, err)) return false;
    std::vector<QueueEntry> stale;
    return readErrors(&stale, err);
}

bool Instrument::ensureConnected(Error *err) { return fd_ >= 0 || connect(err); }

bool Instrument::sendLine(const std::string &cmd, long long deadline, Error *err) {
    if (cmd.find('\n') != std::string::npos)
        return fail(Fault::Usage, cmd, "a command cannot hold a line end", err);
    std::string line = cmd + "\n";
    size_t off = 0;
    while (off < line.size()) {
        ssize_t n = send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = waitFd(fd_, POLLOUT, deadline, stop_);
            if (w == 2) return fail(Fault::Cancelled, cmd, kStopped, err);
            if (w == 1) return fail(Fault::Timeout, cmd, "not taken within the timeout", err);
            if (w == 0) continue;
        }
        return fail(Fault::Closed, cmd, std::string("send failed: ") + strerror(errno), err);
    }
    return true;
}

// Reads more bytes into in_ before the deadline.
bool Instrument::fill(const std::string &cmd, long long deadline, Error *err) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            in_.append(buf, (size_t)n);
            return true;
        }
        if (n == 0)
            return fail(Fault::Closed, cmd,
                        in_.empty() ? "connection closed before a reply"
                                    : "connection closed mid-reply (truncated after " +
                                          std::to_string(in_.size()) + " bytes)",
                        err);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return fail(Fault::Closed, cmd, std::string("receive failed: ") + strerror(errno), err);
        int w = waitFd(fd_, POLLIN, deadline, stop_);
        if (w == 2) return fail(Fault::Cancelled, cmd, kStopped, err);
        if (w == 1 && in_.empty()) return noReply(cmd, err);
        if (w == 1)
            return fail(Fault::Timeout, cmd,
                        "reply incomplete at the timeout (" + std::to_string(in_.size()) + " bytes)", err);
        if (w < 0) return fail(Fault::Closed, cmd, std::string("poll failed: ") + strerror(errno), err);
    }
}

// A query with no reply at all: a tester that refuses a query answers
// nothing and queues why (-113 Undefined header).  Its queue is read on
// this connection, before the next connect empties it, and the entries
// become the error; the connection closes either way, since a late reply
// may still come.
bool Instrument::noReply(const std::string &cmd, Error *err) {
    std::string what = "no reply within the timeout";
    if (cmd != errorQuery_) {
        long long deadline = nowMs() + t_.exchangeMs;
        std::string queue;
        Error qerr;
        for (int i = 0; i < maxErrors_ && fd_ >= 0; i++) {
            std::string reply;
            QueueEntry e;
            if (!sendLine(errorQuery_, deadline, &qerr) || !readReply(errorQuery_, deadline, &reply, &qerr) ||
                !parseQueueEntry(reply, &e) || e.code == 0)
                break;
            queue += (queue.empty() ? "" : "; ") + std::to_string(e.code) + ",\"" + e.text + "\"";
        }
        if (qerr.fault == Fault::Cancelled) {
            *err = qerr;  // a stop stays a stop: the tester's abort follows
            return false;
        }
        if (!queue.empty()) {
            fail(Fault::Instrument, cmd, queue + " (no reply: the tester refused the query)", err);
            disconnect();
            return false;
        }
    }
    return fail(Fault::Timeout, cmd, what, err);
}

// Drops the line end of the last block once it is there.
void Instrument::dropBlockEnd() {
    if (!blockEnd_ || in_.empty()) return;
    if (in_[0] == '\r') in_.erase(0, 1);
    if (!in_.empty() && in_[0] == '\n') {
        in_.erase(0, 1);
        blockEnd_ = false;
    } else if (!in_.empty()) {
        blockEnd_ = false;  // a block without its line end
    }
}

bool Instrument::readReply(const std::string &cmd, long long deadline, std::string *reply, Error *err) {
    for (;;) {
        dropBlockEnd();
        if (!in_.empty()) break;
        if (!fill(cmd, deadline, err)) return false;
    }
    if (in_[0] == '#') {
        // "#" N digit(s) giving the length, the payload, then the line end.
        while (in_.size() < 2)
            if (!fill(cmd, deadline, err)) return false;
        if (!isdigit((unsigned char)in_[1]))
            return fail(Fault::BadReply, cmd, "malformed block header " + quotedReply(in_.substr(0, 12)), err);
        size_t nd = (size_t)(in_[1] - '0');
        if (nd == 0) {
            // Indefinite block: up to the line end.
            size_t nl;
            while ((nl = in_.find('\n')) == std::string::npos) {
                if (in_.size() > kMaxReply) return fail(Fault::BadReply, cmd, "reply too long", err);
                if (!fill(cmd, deadline, err)) return false;
            }
            *reply = in_.substr(2, nl - 2);
            in_.erase(0, nl + 1);
            return true;
        }
        while (in_.size() < 2 + nd)
            if (!fill(cmd, deadline, err)) return false;
        std::string digits = in_.substr(2, nd);
        if (strspn(digits.c_str(), "0123456789") != nd)
            return fail(Fault::BadReply, cmd, "malformed block header " + quotedReply(in_.substr(0, 2 + nd)), err);
        unsigned long long len = strtoull(digits.c_str(), nullptr, 10);
        if (len > kMaxReply)
            return fail(Fault::BadReply, cmd, "block of " + digits + " bytes is too long", err);
        size_t total = 2 + nd + (size_t)len;
        while (in_.size() < total)
            if (!fill(cmd, deadline, err)) return false;
        *reply = in_.substr(2 + nd, (size_t)len);
        in_.erase(0, total);
        // The block's line end follows, now or with the next bytes: it is
        // never read as an empty reply to the next query.
        blockEnd_ = true;
        dropBlockEnd();
        return true;
    }
    size_t nl;
    while ((nl = in_.find('\n')) == std::string::npos) {
        if (in_.size() > kMaxReply) return fail(Fault::BadReply, cmd, "reply too long", err);
        if (!fill(cmd, deadline, err)) return false;
    }
    std::string line = in_.substr(0, nl);
    in_.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!printable(line)) return fail(Fault::BadReply, cmd, "garbled reply " + quotedReply(line), err);
    *reply = line;
    return true;
}

bool Instrument::write(const std::string &cmd, Error *err) {
    Session s(*this);
    if (!ensureConnected(err)) return false;
    return sendLine(cmd, nowMs() + t_.exchangeMs, err);
}

bool Instrument::query(const std::string &cmd, std::string *reply, Error *err, int timeoutMs) {
    Session s(*this);
    if (!ensureConnected(err)) return false;
    dropBlockEnd();
    if (!in_.empty()) {
        // Bytes nobody asked for: the stream is out of step.
        return fail(Fault::BadReply, cmd, "unexpected bytes before the query " + quotedReply(in_), err);
    }
    long long deadline = nowMs() + (timeoutMs > 0 ? timeoutMs : t_.exchangeMs);
    return sendLine(cmd, deadline, err) && readReply(cmd, deadline, reply, err);
}

bool Instrument::queryNumber(const std::string &cmd, double *value, Error *err, int timeoutMs) {
    Session s(*this);
    std::string reply;
    if (!query(cmd, &reply, err, timeoutMs)) return false;
    Fault f = Fault::None;
    if (parseNumber(reply, value, &f)) return true;
    if (f == Fault::BadReply) return fail(f, cmd, "not a number: " + quotedReply(reply), err);
    // Not-a-number: the tester's queue usually says why.
    std::string why = "not-a-number (" + reply + ")";
    std::vector<QueueEntry> q;
    Error qerr;
    if (readErrors(&q, &qerr) && !q.empty()) why += ": " + std::to_string(q[0].code) + ",\"" + q[0].text + "\"";
    return fail(Fault::NotANumber, cmd, why, err);
}

bool Instrument::readErrors(std::vector<QueueEntry> *entries, Error *err) {
    Session s(*this);
    entries->clear();
    for (int i = 0; i < maxErrors_; i++) {
        std::string reply;
        if (!query(errorQuery_, &reply, err)) return false;
        QueueEntry e;
        if (!parseQueueEntry(reply, &e)) return fail(Fault::BadReply, errorQuery_, "garbled reply " + quotedReply(reply), err);
        if (e.code == 0) return true;
        entries->push_back(e);
    }
    return fail(Fault::Instrument, errorQuery_,
                "error queue still not empty after " + std::to_string(maxErrors_) + " reads", err);
}

bool Instrument::command(const std::string &cmd, Error *err) {
    Session s(*this);
    if (!write(cmd, err)) return false;
    std::vector<QueueEntry> q;
    if (!readErrors(&q, err)) return false;
    if (q.empty()) return true;
    std::string msg;
    for (const QueueEntry &e : q)
        msg += (msg.empty() ? "" : "; ") + std::to_string(e.code) + ",\"" + e.text + "\"";
    return fail(Fault::Instrument, cmd, msg, err);
}

}  // namespace instrument
