// The operator page's HTTP side (see http.h).
#include "serve/http.h"

#include <httplib.h>

#include <cstdlib>
#include <thread>

#include "format/json.h"
#include "serve/page.h"

namespace serve {

namespace {

// One SSE connection stays on one of these threads for as long as the page
// is open: enough for every unit's operator plus a few reloads.
constexpr size_t kThreads = 32;
// A comment line this often finds a page that went away.
constexpr int kKeepAliveMs = 10000;

void jsonReply(httplib::Response &res, int status, const char *key, const std::string &text) {
    format::Json j;
    j.open('{');
    j.key(key), j.str(text);
    j.close('}');
    res.status = status;
    res.set_content(j.done(), "application/json");
}

// The unit a form names: its index, or -1.
long unitParam(const httplib::Request &req, size_t count) {
    if (!req.has_param("unit")) return -1;
    std::string v = req.get_param_value("unit");
    char *end = nullptr;
    long u = strtol(v.c_str(), &end, 10);
    if (v.empty() || *end || u < 0 || (size_t)u >= count) return -1;
    return u;
}

// "127.0.0.1", "localhost", either with a port.
bool loopbackHost(const std::string &host) {
    std::string h = host.substr(0, host.rfind(':') == std::string::npos ? host.size()
                                                                         : host.rfind(':'));
    return h == "127.0.0.1" || h == "localhost";
}

}  // namespace

bool tokenMatches(const std::string &given, const std::string &token) {
    unsigned diff = given.size() != token.size();
    for (size_t i = 0; i < token.size(); ++i)
        diff |= (unsigned char)token[i] ^ (unsigned char)(i < given.size() ? given[i] : 0);
    return diff == 0;
}

struct PageServer::Impl {
    Panels &panels;
    std::string token;
    httplib::Server svr;
    std::thread thread;
    Impl(Panels &p, std::string t) : panels(p), token(std::move(t)) {}
};

PageServer::PageServer(Panels &panels, std::string token)
    : impl_(new Impl(panels, std::move(token))) {
    Impl &m = *impl_;
    m.svr.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    m.svr.set_keep_alive_max_count(100);
    // An idle connection holds one of the threads, and stop() waits for it:
    // a short wait lets serve end soon after Ctrl-C.
    m.svr.set_keep_alive_timeout(1);
    // A reply's header and body go out at once, not 40 ms apart (Nagle's
    // algorithm waiting for a delayed ACK): a scan starts its run at once.
    m.svr.set_tcp_nodelay(true);
    // The token (when there is one) on every request; a POST also carries
    // the header, which a page of another site cannot send without asking.
    m.svr.set_pre_routing_handler([&m](const httplib::Request &req, httplib::Response &res) {
        std::string given = req.has_header("X-Rfprobe-Token") ? req.get_header_value("X-Rfprobe-Token")
                            : req.has_param("token")          ? req.get_param_value("token")
                                                              : "";
        if (!m.token.empty() && !tokenMatches(given, m.token)) {
            jsonReply(res, 403, "error", "this station wants its token: open the address "
                                         "that rfprobe serve printed");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Without a token only this machine's own names: a page of another
        // site whose name was pointed at 127.0.0.1 sends its own Host.
        if (m.token.empty() && !loopbackHost(req.get_header_value("Host"))) {
            jsonReply(res, 403, "error", "open the page as http://127.0.0.1:PORT/");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "POST" && !req.has_header("X-Rfprobe-Token")) {
            jsonReply(res, 403, "error", "start and stop come from the operator page");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto file = [](const httplib::Request &req, httplib::Response &res) {
        const PageFile *f = pageFile(req.path.c_str());
        if (!f) {
            res.status = 404;
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(f->body, f->type);
    };
    m.svr.Get("/", file);
    m.svr.Get("/page.css", file);
    m.svr.Get("/page.js", file);
    m.svr.Get("/state", [&m](const httplib::Request &, httplib::Response &res) {
        uint64_t v;
        res.set_content(m.panels.snapshot(&v), "application/json");
    });
    // The whole state at once, then again at every change: a page that
    // comes back sees where every run stands.
    m.svr.Get("/events", [&m](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        uint64_t seen = 0;
        res.set_chunked_content_provider(
            "text/event-stream", [&m, seen](size_t, httplib::DataSink &sink) mutable {
                std::string snap;
                if (!m.panels.waitChange(&seen, kKeepAliveMs, &snap)) {
                    if (m.panels.closing()) return false;
                    return sink.write(": still here\n\n", 14);
                }
                std::string ev = "data: " + snap + "\n\n";
                return sink.write(ev.data(), ev.size());
            });
    });
    m.svr.Post("/start", [&m](const httplib::Request &req, httplib::Response &res) {
        long u = unitParam(req, m.panels.count());
        if (u < 0) return jsonReply(res, 400, "error", "no such unit");
        std::string why = m.panels.start((size_t)u, req.get_param_value("serial"));
        if (why.empty()) return jsonReply(res, 200, "ok", "started");
        jsonReply(res, 409, "error", why);
    });
    m.svr.Post("/stop", [&m](const httplib::Request &req, httplib::Response &res) {
        long u = unitParam(req, m.panels.count());
        if (u < 0) return jsonReply(res, 400, "error", "no such unit");
        if (m.panels.stop((size_t)u)) return jsonReply(res, 200, "ok", "stopping");
        jsonReply(res, 409, "error", "the unit is not testing");
    });
}

PageServer::~PageServer() { stop(); }

bool PageServer::bind(const std::string &host, int *port, std::string *why) {
    Impl &m = *impl_;
    bool ok;
    if (*port == 0) {
        int p = m.svr.bind_to_any_port(host);
        ok = p > 0;
        if (ok) *port = p;
    } else {
        ok = m.svr.bind_to_port(host, *port);
    }
    if (!ok) *why = "cannot listen on " + host + ":" + std::to_string(*port);
    return ok;
}

void PageServer::start() {
    Impl &m = *impl_;
    m.thread = std::thread([&m] { m.svr.listen_after_bind(); });
}

void PageServer::stop() {
    Impl &m = *impl_;
    if (!m.thread.joinable()) return;
    m.svr.stop();
    m.thread.join();
}

}  // namespace serve
