// AMQP 1.0 through Qpid Proton (amqp.h).
#include "bus/amqp.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <proton/connection.hpp>
#include <proton/connection_options.hpp>
#include <proton/container.hpp>
#include <proton/delivery.hpp>
#include <proton/error_condition.hpp>
#include <proton/message.hpp>
#include <proton/message_id.hpp>
#include <proton/messaging_handler.hpp>
#include <proton/receiver.hpp>
#include <proton/receiver_options.hpp>
#include <proton/sender.hpp>
#include <proton/sender_options.hpp>
#include <proton/source.hpp>
#include <proton/target.hpp>
#include <proton/tracker.hpp>
#include <proton/transport.hpp>
#include <proton/types.hpp>
#include <proton/work_queue.hpp>

namespace bus {

namespace {

proton::connection_options connectionOptions(const Config &c) {
    proton::connection_options o;
    if (!c.user.empty()) {
        o.user(c.user);
        o.password(c.password);
        o.sasl_allowed_mechs("PLAIN");
        o.sasl_allow_insecure_mechs(true);
    }
    o.idle_timeout(proton::duration((int64_t)(c.timeoutS * 1000)));
    return o;
}

std::string bodyText(const proton::message &m) {
    const proton::value &v = m.body();
    if (v.type() == proton::BINARY) {
        proton::binary b = proton::get<proton::binary>(v);
        return std::string(b.begin(), b.end());
    }
    if (v.type() == proton::STRING) return proton::get<std::string>(v);
    return "";
}

proton::message toMessage(const Outgoing &o) {
    proton::message m;
    m.id(o.id);
    m.subject(o.subject);
    m.content_type("application/json");
    m.durable(true);
    m.body(proton::binary(o.body));
    return m;
}

// The common part: one connection, its errors named with the broker.
class Handler : public proton::messaging_handler {
  public:
    explicit Handler(const Config &c, double deadlineS) : c_(c), deadlineS_(deadlineS) {}
    std::string error;

  protected:
    void on_container_start(proton::container &ct) override { conn_ = ct.connect(c_.url, connectionOptions(c_)); }
    void on_transport_error(proton::transport &t) override { fail(t.error().what()); }
    void on_connection_error(proton::connection &cn) override { fail(cn.error().what()); }
    void on_sender_error(proton::sender &s) override { fail("address " + s.target().address() + ": " + s.error().what()); }
    void on_receiver_error(proton::receiver &r) override {
        fail("address " + r.source().address() + ": " + r.error().what());
    }
    void on_error(const proton::error_condition &e) override { fail(e.what()); }

    void fail(const std::string &what) {
        if (done_) return;
        error = what;
        finish();
    }
    void finish() {
        if (done_) return;
        done_ = true;
        if (conn_.active()) conn_.close();
        if (conn_) conn_.container().stop();
        ended();
    }

  public:
    // The container ended (on its thread) or the work is done: wakes the
    // caller's wait in runOn.
    void ended() {
        std::lock_guard<std::mutex> held(mu_);
        over_ = true;
        cv_.notify_all();
    }
    // Waits up to the deadline; false when it passed first.
    bool waitEnd() {
        std::unique_lock<std::mutex> held(mu_);
        return cv_.wait_for(held, std::chrono::milliseconds((int64_t)(deadlineS_ * 1000)), [&] { return over_; });
    }
    std::string deadlineText() const { return "no answer within " + std::to_string((int)(deadlineS_ * 1000)) + " ms"; }

  protected:

    const Config &c_;
    double deadlineS_;
    bool done_ = false;
    proton::connection conn_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool over_ = false;
};

class Sending : public Handler {
  public:
    Sending(const Config &c, const std::vector<Outgoing> &m)
        : Handler(c, c.timeoutS + 0.005 * (double)m.size()), msgs_(m), accepted_(m.size(), false) {}

    size_t acceptedPrefix() const {
        size_t k = 0;
        while (k < accepted_.size() && accepted_[k]) ++k;
        return k;
    }

  private:
    void on_connection_open(proton::connection &cn) override {
        proton::sender_options so;
        so.delivery_mode(proton::delivery_mode::AT_LEAST_ONCE);
        cn.open_sender(c_.publish, so);
    }
    void on_sendable(proton::sender &s) override {
        while (s.credit() > 0 && next_ < msgs_.size()) {
            std::string tag = std::to_string(next_);
            proton::tracker t = s.send(toMessage(msgs_[next_]), proton::binary(tag));
            (void)t;
            ++next_;
        }
    }
    size_t indexOf(proton::tracker &t) {
        proton::binary b = t.tag();
        return (size_t)std::stoul(std::string(b.begin(), b.end()));
    }
    void on_tracker_accept(proton::tracker &t) override {
        accepted_[indexOf(t)] = true;
        if (++settled_ == msgs_.size()) finish();
    }
    void on_tracker_reject(proton::tracker &t) override {
        fail("the broker rejected message " + msgs_[indexOf(t)].id + " (" + msgs_[indexOf(t)].subject + ")");
    }
    void on_tracker_release(proton::tracker &t) override {
        fail("the broker released message " + msgs_[indexOf(t)].id + " without taking it");
    }

    const std::vector<Outgoing> &msgs_;
    std::vector<bool> accepted_;
    size_t next_ = 0, settled_ = 0;
};

class Asking : public Handler {
  public:
    Asking(const Config &c, const Outgoing &req,
           const std::function<bool(const std::string &, const std::string &)> &isOurs)
        : Handler(c, c.routeTimeoutS), req_(req), isOurs_(isOurs) {}
    AskResult result;

  private:
    void on_connection_open(proton::connection &cn) override {
        receiver_ = cn.open_receiver(c_.replies);
        sender_ = cn.open_sender(c_.request);
    }
    void on_receiver_open(proton::receiver &) override {
        ready_ = true;
        trySend();
    }
    void on_sendable(proton::sender &) override { trySend(); }
    void trySend() {
        if (sent_ || !ready_ || !sender_ || sender_.credit() <= 0) return;
        proton::message m = toMessage(req_);
        m.correlation_id(req_.id);
        m.reply_to(c_.replies);
        sender_.send(m);
        sent_ = true;
    }
    void on_message(proton::delivery &d, proton::message &m) override {
        std::string body = bodyText(m);
        std::string corr = proton::to_string(m.correlation_id());
        d.accept();
        if (done_) return;
        if (!isOurs_(body, corr)) {
            result.dropped++;
            return;
        }
        result.answered = true;
        result.body = body;
        finish();
    }
    void on_tracker_reject(proton::tracker &) override { fail("the broker rejected the request"); }

    const Outgoing &req_;
    std::function<bool(const std::string &, const std::string &)> isOurs_;
    proton::receiver receiver_;
    proton::sender sender_;
    bool ready_ = false, sent_ = false;
};

// Runs the container on a thread of its own while this one keeps the
// deadline: a container's scheduled work would hold run() until it is due.
template <class H>
void runOn(H &h) {
    proton::container ct(h);
    std::string thrown;
    std::thread t([&] {
        try {
            ct.run();
        } catch (const std::exception &e) {
            thrown = e.what();
        }
        h.ended();
    });
    bool inTime = h.waitEnd();
    if (!inTime) ct.stop();
    t.join();
    if (!inTime) h.error = h.deadlineText();  // not what stopping it made the transport say
    if (h.error.empty()) h.error = thrown;
}

}  // namespace

SendResult sendInOrder(const Config &c, const std::vector<Outgoing> &messages) {
    SendResult r;
    if (messages.empty()) return r;
    Sending h(c, messages);
    runOn(h);
    r.accepted = h.acceptedPrefix();
    if (r.accepted < messages.size())
        r.error = c.url + ": " + (h.error.empty() ? std::string("the connection ended before every message was taken")
                                                 : h.error);
    return r;
}

AskResult ask(const Config &c, const Outgoing &request,
              const std::function<bool(const std::string &, const std::string &)> &isOurs) {
    Asking h(c, request, isOurs);
    runOn(h);
    AskResult r = h.result;
    if (!r.answered)
        r.error = c.url + ": " + (h.error.empty() ? std::string("the connection ended without an answer") : h.error);
    return r;
}

}  // namespace bus
