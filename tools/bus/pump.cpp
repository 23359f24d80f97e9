// The bus outbox into the broker (pump.h).
#include "bus/pump.h"

#include <chrono>

#include "bus/amqp.h"

namespace bus {

namespace {
constexpr size_t kBatch = 500;
}

DrainResult drain(results::Store &store, const Config &c, const std::string &station) {
    DrainResult out;
    for (;;) {
        std::vector<results::BusMessage> waiting;
        try {
            waiting = store.busWaiting(station, kBatch);
        } catch (const std::exception &e) {
            out.error = std::string("cannot read the bus outbox: ") + e.what();
            return out;
        }
        if (waiting.empty()) break;
        std::vector<Outgoing> msgs;
        for (const results::BusMessage &m : waiting) msgs.push_back({m.id, m.name, m.body});
        SendResult r = sendInOrder(c, msgs);
        try {
            store.busSent(std::vector<results::BusMessage>(waiting.begin(), waiting.begin() + (long)r.accepted));
            if (!r.error.empty() && r.accepted < waiting.size()) store.busFailed(waiting[r.accepted], r.error);
        } catch (const std::exception &e) {
            // Sent, but still in the outbox: sent again later with the same
            // ids, which a consumer drops.
            out.error = std::string("sent, but not marked in the bus outbox: ") + e.what();
        }
        out.sent += r.accepted;
        if (!r.error.empty()) {
            out.error = r.error;
            break;
        }
        if (!out.error.empty()) break;
    }
    try {
        out.left = store.busDepth(station);
    } catch (const std::exception &) {
    }
    return out;
}

Pump::Pump(results::Store &store, const Config &c, std::string station, std::function<void(const std::string &)> say,
           std::function<void(size_t)> left)
    : store_(store), c_(c), station_(std::move(station)), say_(std::move(say)), left_(std::move(left)) {
    thread_ = std::thread([this] { loop(); });
}

Pump::~Pump() {
    {
        std::lock_guard<std::mutex> held(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void Pump::kick() {
    {
        std::lock_guard<std::mutex> held(mu_);
        kicked_ = true;
    }
    cv_.notify_all();
}

void Pump::loop() {
    bool waiting = false;  // the last attempt left messages behind
    for (;;) {
        bool last;
        {
            std::unique_lock<std::mutex> held(mu_);
            cv_.wait_for(held, std::chrono::seconds(waiting ? 2 : 30), [&] { return kicked_ || stopping_; });
            kicked_ = false;
            last = stopping_;
        }
        DrainResult r = drain(store_, c_, station_);
        waiting = !r.error.empty();
        if (left_) left_(r.left);
        if (r.error != lastError_) {
            if (!r.error.empty() && say_)
                say_("the bus: " + r.error + "; " + std::to_string(r.left) +
                     " message(s) wait in the outbox (rfprobe sync --bus sends them)");
            lastError_ = r.error;
        }
        if (last) return;
    }
}

}  // namespace bus
