// The route check (route.h).
#include "bus/route.h"

#include <mutex>

#include "bus/amqp.h"
#include "bus/cfx.h"
#include "results/record.h"

namespace bus {

std::string RouteCheck::metadata() const {
    if (!answered) return "no answer: " + text;
    return passed ? "Passed" : "Failed: " + text;
}

RouteCheck checkRoute(const Config &c, const std::string &serial) {
    // The station's answers come to one reply address: two checks at once
    // would each take (and drop) the other's answer.  They take turns.
    static std::mutex turn;
    std::lock_guard<std::mutex> mine(turn);
    RouteCheck out;
    std::string requestId = results::newRecordId();
    Outgoing req{requestId, kValidateRequest, validateRequest(c, serial, requestId)};
    std::string problem;  // an answer to our request that cannot be used
    RouteAnswer answer;
    AskResult r = ask(c, req, [&](const std::string &body, const std::string &corr) {
        if (corr != requestId && requestIdOf(body) != requestId) return false;  // a late answer to another request
        if (!readValidateResponse(body, serial, &answer, &problem)) return true;
        problem.clear();
        return true;
    });
    if (!r.answered) {
        out.text = "no answer from the MES: " + r.error;
        return out;
    }
    if (!problem.empty()) {
        out.text = c.url + ": the MES sent " + problem;
        return out;
    }
    out.answered = true;
    out.passed = answer.passed;
    out.text = answer.reason;
    return out;
}

}  // namespace bus
