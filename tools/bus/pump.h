// Emptying the bus outbox into the broker: once (rfprobe sync), or in the
// background of a run, so that no unit waits for the broker.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "bus/config.h"
#include "results/store.h"

namespace bus {

struct DrainResult {
    size_t sent = 0;
    size_t left = 0;    // still waiting afterwards (when it could be counted)
    std::string error;  // why it stopped early ("" : the outbox is empty)
};

// Sends what waits for station ("" every station), oldest first, in
// batches, until the outbox is empty or the broker fails; each message
// leaves the outbox only once the broker accepted it.
DrainResult drain(results::Store &store, const Config &c, const std::string &station);

// A run's sender: drains after each kick() and retries every few seconds
// while messages wait; its destructor makes one last attempt.  say gets
// each new error (once until it changes or clears).
class Pump {
  public:
    // left, when given, gets the outbox's depth after each attempt.
    Pump(results::Store &store, const Config &c, std::string station, std::function<void(const std::string &)> say,
         std::function<void(size_t)> left = {});
    ~Pump();
    void kick();

  private:
    void loop();

    results::Store &store_;
    const Config &c_;
    std::string station_;
    std::function<void(const std::string &)> say_;
    std::function<void(size_t)> left_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool kicked_ = false, stopping_ = false;
    std::string lastError_;
    std::thread thread_;
};

}  // namespace bus
