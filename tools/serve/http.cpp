// The operator page's HTTP side (see http.h).
//
// Every connection is a Session on the one I/O thread.  A request's head
// is looked at line by line as it arrives (Gate), parsed by Beast within
// fixed bounds, and must be whole within kRequestTime of its first byte
// (or of the previous reply): a slow client is dropped then, whatever it
// sends.  An event stream keeps at most the state being written and the
// newest one: a page that does not read holds no more than that.
#include "serve/http.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <thread>

#include "format/json.h"
#include "serve/gate.h"
#include "serve/page.h"

namespace serve {

namespace asio = boost::asio;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

// Enough for every operator's browser and a crowd of viewers; one address
// (a browser opens at most 6 plus its event stream) cannot take them all.
constexpr size_t kMaxConnections = 512;
constexpr size_t kPerClient = 32;
constexpr auto kRequestTime = seconds(5);
// A reply (an event) that the client does not take in this time ends it.
constexpr auto kWriteTime = seconds(20);
constexpr auto kLingerTime = seconds(1);
// A comment line this often finds a page that went away.
constexpr int kKeepAliveMs = 10000;
// A viewer that vanished without closing (a tablet off the Wi-Fi) gives
// back its stream's slot within a minute: what it leaves unacknowledged
// (the comment lines, every 10 s) ends the connection after kDeadPeerMs, and an idle
// one is probed after kProbeIdleS, every kProbeEveryS, kProbes times.
constexpr unsigned kDeadPeerMs = 30000;
constexpr int kProbeIdleS = 20, kProbeEveryS = 5, kProbes = 4;
constexpr int kWatchMs = 1000;
// A scan whose port's golden check the store has not given in this time is
// refused: the page answers every request within its budget (200 ms).
constexpr auto kCheckTime = milliseconds(150);
constexpr size_t kReadChunk = 4096;

const char *reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 413: return "Payload Too Large";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        default: return "Error";
    }
}

// What every reply carries: nothing cached, and no other site may show the
// page in a frame of its own (where a click on it would be the other
// site's: a scan or a Stop the operator did not mean).
const char kCommonHeaders[] =
    "Cache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

std::string replyHead(int status, const std::string &type, long length, bool keepAlive) {
    std::string h = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    h += "Content-Type: " + type + "\r\n";
    if (length >= 0) h += "Content-Length: " + std::to_string(length) + "\r\n";
    h += kCommonHeaders;
    h += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return h;
}

std::string jsonText(const char *key, const std::string &text) {
    format::Json j;
    j.open('{');
    j.key(key), j.str(text);
    j.close('}');
    return j.done();
}

// The unit a form names: its index, or -1.
long unitParam(const std::string &form, size_t count) {
    std::string v;
    if (!formValue(form, "unit", &v)) return -1;
    char *end = nullptr;
    long u = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || u < 0 || (size_t)u >= count) return -1;
    return u;
}

// One state for the event streams (version 0: a keep-alive comment).
struct Event {
    uint64_t version;
    std::string text;
};

}  // namespace

struct PageServer::Impl {
    struct Session;
    Panels &panels;
    std::string token;
    Admission admitted{kMaxConnections, kPerClient};
    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer acceptPause{ioc};
    std::set<std::shared_ptr<Session>> streams;
    std::thread io, watcher;
    std::atomic<bool> stopping{false};

    Impl(Panels &p, std::string t) : panels(p), token(std::move(t)) {}
    void accept();
    void admit(tcp::socket s);
    void watch();
    void broadcast(std::shared_ptr<const Event> ev);
};

struct PageServer::Impl::Session : std::enable_shared_from_this<Session> {
    Impl &srv;
    tcp::socket sock;
    asio::ip::address client;
    asio::steady_timer deadline;
    asio::steady_timer checkWait;  // a scan waiting for its golden check
    boost::beast::flat_buffer buf{kHeaderLimit + kBodyLimit + kReadChunk};
    std::optional<bhttp::request_parser<bhttp::string_body>> parser;
    std::optional<Gate> gate;
    bool closed = false, streaming = false, writing = false;
    uint64_t seen = 0;  // the newest state sent on the stream
    std::shared_ptr<const Event> pending;
    char sink[512];

    Session(Impl &s, tcp::socket so, asio::ip::address a)
        : srv(s), sock(std::move(so)), client(a), deadline(s.ioc), checkWait(s.ioc) {}
    ~Session() {
        srv.admitted.leave(client.to_string());
    }

    void arm(std::chrono::steady_clock::duration d) {
        deadline.expires_after(d);
        deadline.async_wait([self = shared_from_this()](boost::system::error_code ec) {
            if (!ec) self->close();
        });
    }
    void close();
    void nextRequest();
    void read();
    void onBytes(size_t fresh);
    void handle();
    void route(const bhttp::request<bhttp::string_body> &req, bool keepAlive);
    void startChecked(size_t u, const std::string &serial, bool keepAlive);
    void started(const std::string &why, bool keepAlive);
    void send(int status, const std::string &type, const std::string &body, bool keepAlive);
    void refuse(const Refusal &r) { send(r.status, "application/json", jsonText("error", r.why), false); }
    void startStream();
    void offer(std::shared_ptr<const Event> ev);
    void writeEvent(std::shared_ptr<const Event> ev);
    void watchClose();
    void linger();
};

void PageServer::Impl::Session::close() {
    if (closed) return;
    closed = true;
    boost::system::error_code e;
    sock.shutdown(tcp::socket::shutdown_both, e);
    sock.close(e);
    deadline.cancel();
    checkWait.cancel();
    if (streaming) srv.streams.erase(shared_from_this());
}

void PageServer::Impl::Session::nextRequest() {
    parser.emplace();
    parser->header_limit(kHeaderLimit);
    parser->body_limit(kBodyLimit);
    gate.emplace(srv.token);
    arm(kRequestTime);
    if (buf.size())  // the next request came with the last
        onBytes(buf.size());
    else
        read();
}

void PageServer::Impl::Session::read() {
    size_t room = buf.max_size() - buf.size();
    if (room == 0) return refuse({431, "the request is too large"});
    sock.async_read_some(buf.prepare(std::min(room, kReadChunk)),
                         [self = shared_from_this()](boost::system::error_code ec, size_t n) {
                             if (ec || self->closed) return self->close();
                             self->buf.commit(n);
                             self->onBytes(n);
                         });
}

// The head is looked at as it comes (the fresh bytes at the buffer's end,
// whatever the parser took of those before them); the parser takes it
// once it is whole.
void PageServer::Impl::Session::onBytes(size_t fresh) {
    if (!parser->is_header_done()) {
        auto d = buf.data();
        if (Refusal r = gate->feed((const char *)d.data() + d.size() - fresh, fresh)) return refuse(r);
    }
    boost::beast::error_code ec;
    while (buf.size() && !parser->is_done()) {
        size_t used = parser->put(buf.data(), ec);
        buf.consume(used);
        if (ec == bhttp::error::need_more) {
            ec = {};
            break;
        }
        if (ec == bhttp::error::header_limit) return refuse({431, "the request's head is too large"});
        if (ec == bhttp::error::body_limit) return refuse({413, "the request's body is too large"});
        if (ec) return refuse({400, "the request cannot be read: " + ec.message()});
        if (used == 0) break;
    }
    if (parser->is_done())
        handle();
    else
        read();
}

void PageServer::Impl::Session::handle() {
    const bhttp::request<bhttp::string_body> &req = parser->get();
    RequestView v;
    v.method = std::string(req.method_string());
    v.target = std::string(req.target());
    auto host = req.find(bhttp::field::host);
    v.hasHost = host != req.end();
    if (v.hasHost) v.host = std::string(host->value());
    auto tok = req.find("X-Rfprobe-Token");
    v.hasTokenHeader = tok != req.end();
    if (v.hasTokenHeader) v.tokenHeader = std::string(tok->value());
    if (Refusal r = gate->check(v)) return refuse(r);
    route(req, req.keep_alive());
}

void PageServer::Impl::Session::route(const bhttp::request<bhttp::string_body> &req,
                                      bool keepAlive) {
    std::string path, query;
    splitTarget(std::string(req.target()), &path, &query);
    bool get = req.method() == bhttp::verb::get;
    Panels &panels = srv.panels;
    if (get && path == "/events") return startStream();
    if (get && path == "/state") {
        uint64_t v;
        return send(200, "application/json", panels.snapshot(&v), keepAlive);
    }
    if (const PageFile *f = get ? pageFile(path.c_str()) : nullptr)
        return send(200, f->type, f->body, keepAlive);
    if (get || (path != "/start" && path != "/stop"))
        return send(404, "application/json", jsonText("error", "no such page"), keepAlive);
    // A form in the body, as the page sends it, or in the address.
    const std::string &form = req.body().empty() ? query : req.body();
    long u = unitParam(form, panels.count());
    if (u < 0) return send(400, "application/json", jsonText("error", "no such unit"), keepAlive);
    if (path == "/start") {
        std::string serial;
        formValue(form, "serial", &serial);
        if (panels.checksGolden()) return startChecked((size_t)u, serial, keepAlive);
        return started(panels.start((size_t)u, serial), keepAlive);
    }
    if (panels.stop((size_t)u)) return send(200, "application/json", jsonText("ok", "stopping"), keepAlive);
    send(409, "application/json", jsonText("error", "the unit is not testing"), keepAlive);
}

// The port's golden check is read beside this thread; the scan is
// answered with its result, or refused once kCheckTime has passed.
void PageServer::Impl::Session::startChecked(size_t u, const std::string &serial, bool keepAlive) {
    std::weak_ptr<Session> weak = shared_from_this();
    asio::io_context &ioc = srv.ioc;
    auto ticket = srv.panels.startChecked(u, serial, [weak, &ioc, keepAlive](const std::string &why) {
        asio::post(ioc, [weak, why, keepAlive] {
            if (auto self = weak.lock()) self->started(why, keepAlive);
        });
    });
    checkWait.expires_after(kCheckTime);
    checkWait.async_wait([self = shared_from_this(), ticket, keepAlive](boost::system::error_code ec) {
        if (ec || !ticket->claim()) return;
        self->started("cannot check the golden unit: the results store did not answer within " +
                          std::to_string(kCheckTime.count()) + " ms (nothing was sent)",
                      keepAlive);
    });
}

void PageServer::Impl::Session::started(const std::string &why, bool keepAlive) {
    checkWait.cancel();
    if (closed) return;
    if (why.empty()) return send(200, "application/json", jsonText("ok", "started"), keepAlive);
    send(409, "application/json", jsonText("error", why), keepAlive);
}

void PageServer::Impl::Session::send(int status, const std::string &type, const std::string &body,
                                     bool keepAlive) {
    auto out = std::make_shared<std::string>(replyHead(status, type, (long)body.size(), keepAlive));
    *out += body;
    arm(kWriteTime);
    asio::async_write(sock, asio::buffer(*out),
                      [self = shared_from_this(), out, keepAlive](boost::system::error_code ec, size_t) {
                          if (ec || self->closed) return self->close();
                          if (!keepAlive) return self->linger();
                          self->nextRequest();
                      });
}

// The whole state at once, then again at every change: a page that comes
// back sees where every run stands.
void PageServer::Impl::Session::startStream() {
    streaming = true;
    int fd = sock.native_handle(), on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kProbeIdleS, sizeof kProbeIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kProbeEveryS, sizeof kProbeEveryS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kProbes, sizeof kProbes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kDeadPeerMs, sizeof kDeadPeerMs);
    srv.streams.insert(shared_from_this());
    deadline.cancel();
    uint64_t v;
    std::string snap = srv.panels.snapshot(&v);
    auto first = std::make_shared<Event>(
        Event{v, replyHead(200, "text/event-stream", -1, false) + "data: " + snap + "\n\n"});
    seen = v;
    writeEvent(first);
    watchClose();
}

void PageServer::Impl::Session::offer(std::shared_ptr<const Event> ev) {
    if (closed) return;
    if (ev->version) {
        if (ev->version <= seen) return;
        seen = ev->version;
    }
    if (!writing)
        writeEvent(ev);
    else if (ev->version || !pending)  // a comment never replaces a state
        pending = ev;
}

void PageServer::Impl::Session::writeEvent(std::shared_ptr<const Event> ev) {
    writing = true;
    arm(kWriteTime);
    asio::async_write(sock, asio::buffer(ev->text),
                      [self = shared_from_this(), ev](boost::system::error_code ec, size_t) {
                          self->writing = false;
                          if (ec || self->closed) return self->close();
                          self->deadline.cancel();
                          if (self->pending) {
                              auto next = std::move(self->pending);
                              self->pending.reset();
                              self->writeEvent(next);
                          }
                      });
}

// A stream's client sends nothing more; its end (or anything it sends,
// thrown away) is how a closed page is noticed.
void PageServer::Impl::Session::watchClose() {
    sock.async_read_some(asio::buffer(sink), [self = shared_from_this()](boost::system::error_code ec, size_t) {
        if (ec || self->closed) return self->close();
        self->watchClose();
    });
}

// After a refusal, what the client still sends is read and thrown away for a
// moment before the socket closes: closed with unread data, it would be reset
// and the client could lose the reply that says why.
void PageServer::Impl::Session::linger() {
    boost::system::error_code e;
    sock.shutdown(tcp::socket::shutdown_send, e);
    arm(kLingerTime);
    watchClose();
}

void PageServer::Impl::accept() {
    acceptor.async_accept([this](boost::system::error_code ec, tcp::socket s) {
        if (stopping) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than
            // spin.
            acceptPause.expires_after(milliseconds(100));
            acceptPause.async_wait([this](boost::system::error_code e) {
                if (!e) accept();
            });
            return;
        }
        admit(std::move(s));
        accept();
    });
}

void PageServer::Impl::admit(tcp::socket s) {
    boost::system::error_code e;
    tcp::endpoint peer = s.remote_endpoint(e);
    if (e) return;
    if (!admitted.admit(peer.address().to_string())) {
        s.close(e);
        return;
    }
    // A reply's header and body go out at once, not 40 ms apart (Nagle's
    // algorithm waiting for a delayed ACK): a scan starts its run at once.
    s.set_option(tcp::no_delay(true), e);
    std::make_shared<Session>(*this, std::move(s), peer.address())->nextRequest();
}

// Every change of the state goes to every stream from here: one snapshot
// for all of them.
void PageServer::Impl::watch() {
    uint64_t seen = 0;
    int quiet = 0;
    while (!stopping) {
        std::string snap;
        if (panels.waitChange(&seen, kWatchMs, &snap)) {
            quiet = 0;
            broadcast(std::make_shared<Event>(Event{seen, "data: " + snap + "\n\n"}));
            continue;
        }
        if (panels.closing()) break;
        if ((quiet += kWatchMs) >= kKeepAliveMs) {
            quiet = 0;
            broadcast(std::make_shared<Event>(Event{0, ": still here\n\n"}));
        }
    }
}

void PageServer::Impl::broadcast(std::shared_ptr<const Event> ev) {
    asio::post(ioc, [this, ev] {
        std::vector<std::shared_ptr<Session>> all(streams.begin(), streams.end());
        for (auto &s : all) s->offer(ev);
    });
}

PageServer::PageServer(Panels &panels, std::string token)
    : impl_(new Impl(panels, std::move(token))) {}

PageServer::~PageServer() { stop(); }

bool PageServer::bind(const std::string &host, int *port, std::string *why) {
    Impl &m = *impl_;
    boost::system::error_code ec;
    tcp::endpoint ep(asio::ip::make_address(host, ec), (unsigned short)*port);
    if (!ec) m.acceptor.open(ep.protocol(), ec);
    if (!ec) m.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m.acceptor.bind(ep, ec);
    if (!ec) m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        *why = "cannot listen on " + host + ":" + std::to_string(*port) + ": " + ec.message();
        return false;
    }
    *port = m.acceptor.local_endpoint().port();
    return true;
}

void PageServer::start() {
    Impl &m = *impl_;
    m.accept();
    m.watcher = std::thread([&m] { m.watch(); });
    m.io = std::thread([&m] { m.ioc.run(); });
}

void PageServer::stop() {
    Impl &m = *impl_;
    if (!m.io.joinable()) return;
    m.stopping = true;
    m.ioc.stop();
    m.io.join();
    m.watcher.join();
}

}  // namespace serve
