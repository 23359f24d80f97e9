// The broker, over AMQP 1.0 (Qpid Proton's C++ binding): the only code of
// the station that knows the protocol.  Each call opens one connection,
// does its work and closes it, all within its deadline; every failure is a
// message naming the broker and what it said.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bus/config.h"

namespace bus {

struct Outgoing {
    std::string id;       // the AMQP message-id (the CFX UniqueID)
    std::string subject;  // the CFX MessageName
    std::string body;     // the CFX JSON
};

struct SendResult {
    // How many of the messages, from the first, the broker accepted
    // (settled): these are delivered; the rest are not, or not for sure.
    size_t accepted = 0;
    std::string error;  // "" when all were accepted
};

// Sends the messages to c.publish, durable, in this order, and waits for
// the broker's disposition of each.
SendResult sendInOrder(const Config &c, const std::vector<Outgoing> &messages);

struct AskResult {
    bool answered = false;
    std::string body;      // the answer
    std::string error;     // why there is none (timeout, broker error)
    size_t dropped = 0;    // answers to other (earlier) requests, dropped
};

// Sends a request to c.request with c.replies as its reply address, and
// waits up to c.routeTimeoutS for the answer that isOurs accepts (by its
// body and correlation id); others are taken off the reply queue and
// dropped.
AskResult ask(const Config &c, const Outgoing &request,
              const std::function<bool(const std::string &body, const std::string &correlation)> &isOurs);

}  // namespace bus
