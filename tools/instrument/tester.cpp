#include "instrument/tester.h"

#include "instrument/reply.h"

namespace instrument {

namespace {

std::string queueText(const std::vector<QueueEntry> &q) {
    std::string msg;
    for (const QueueEntry &e : q) msg += (msg.empty() ? "" : "; ") + std::to_string(e.code) + ",\"" + e.text + "\"";
    return msg;
}

}  // namespace

double channelCentreMhz(int channel, int bwMhz, int sideband) {
    double f = channel == 14 ? 2484 : channel < 14 ? 2407 + 5.0 * channel : 5000 + 5.0 * channel;
    if (bwMhz == 40) f += sideband < 0 ? 10 : sideband > 0 ? -10 : 0;
    return f;
}

FairQueue::Turn::Turn(FairQueue &q, const cancel::Token *stop) : q_(q) {
    auto t0 = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(q.mu_);
    uint64_t mine = q.next_++;
    // A token cannot notify the condition: look at it every 20 ms, well
    // within the second a Stop may take.
    while (q.serving_ != mine && !(stop && stop->raised()))
        q.cv_.wait_for(lock, std::chrono::milliseconds(20));
    held_ = q.serving_ == mine;
    if (held_ && stop && stop->raised()) {
        // Stopped as its turn came: it sets nothing up.
        held_ = false;
        q.advance();
        q.cv_.notify_all();
    } else if (!held_) {
        q.left_.insert(mine);
    }
    waitedMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

FairQueue::Turn::~Turn() {
    if (!held_) return;
    {
        std::lock_guard<std::mutex> lock(q_.mu_);
        q_.advance();
    }
    q_.cv_.notify_all();
}

void FairQueue::advance() {
    serving_++;
    for (auto it = left_.find(serving_); it != left_.end(); it = left_.find(serving_)) {
        left_.erase(it);
        serving_++;
    }
}

Tester::Tester(const Profile &p, const Resource &r)
    : profile_(p), inst_("tester", r, Timeouts{p.connectTimeoutMs, p.timeoutMs}) {
    inst_.setErrorQuery(p.errorQuery, p.maxErrors);
    inst_.setClearCommand(p.clear);
}

bool Tester::connect(Error *err) { return inst_.connect(err); }

bool Tester::failWith(Fault f, const std::string &cmd, const std::string &what, Error *err) {
    err->fault = f;
    err->message = inst_.name() + ": " + cmd + ": " + what;
    // A stop or a reply out of step: the next exchange starts on a new
    // connection.
    if (f == Fault::Cancelled || f == Fault::BadReply || f == Fault::Timeout) inst_.disconnect();
    return false;
}

// A measurement's query: its reply read as the profile says, then the
// error queue.  A reply that is no measurement names the queue's first
// entry too, which usually says why.
bool Tester::readMeasurement(Op op, const std::string &cmd, double *value, Error *err) {
    const ReplyFormat &f = profile_.reply(op);
    std::string reply;
    if (!inst_.query(cmd, &reply, err, f.timeoutMs)) return false;
    Fault fault = Fault::None;
    std::string why;
    bool ok = readValue(reply, f, an_.freqMhz, value, &fault, &why);
    std::vector<QueueEntry> q;
    Error qerr;
    bool queueRead = inst_.readErrors(&q, &qerr);
    if (ok && !queueRead) {
        *err = qerr;
        return false;
    }
    if (ok && q.empty()) return true;
    if (ok) return failWith(Fault::Instrument, cmd, queueText(q), err);
    if (queueRead && !q.empty()) why += ": " + std::to_string(q[0].code) + ",\"" + q[0].text + "\"";
    return failWith(fault, cmd, why, err);
}

// Each command, then the error queue; a measurement's value in *value.
bool Tester::run(Op op, const Params &p, Error *err, const cancel::Token *stop, double *value, int timeoutMs) {
    Instrument::Session hold(inst_, stop);
    if (stop && stop->raised()) {
        err->fault = Fault::Cancelled;
        err->message = inst_.name() + ": stopped before " + opKey(op);
        return false;
    }
    bool fresh = !inst_.connected();
    if (!inst_.connect(err)) return false;
    // A session starts from the tester's defaults where the profile asks.
    if (fresh && profile_.resetAtStart && op != Op::Reset && !run(Op::Reset, {}, err, stop)) return false;
    const std::vector<std::string> &cmds = profile_.commands(op);
    for (size_t i = 0; i < cmds.size(); i++) {
        std::string cmd, why;
        if (!expandCommand(cmds[i], p, profile_.maps, &cmd, &why)) {
            err->fault = Fault::Usage;
            err->message = inst_.name() + ": " + opKey(op) + ": " + why;
            return false;
        }
        bool last = i + 1 == cmds.size();
        if (!isQuery(cmd)) {
            if (!inst_.command(cmd, err)) return false;
            continue;
        }
        if (last && op >= Op::MeasurePower && op <= Op::MeasureFreqError) return readMeasurement(op, cmd, value, err);
        std::string reply;
        if (!inst_.query(cmd, &reply, err, last ? timeoutMs : 0)) return false;
        std::vector<QueueEntry> q;
        if (!inst_.readErrors(&q, err)) return false;
        if (!q.empty()) return failWith(Fault::Instrument, cmd, queueText(q), err);
    }
    return true;
}

// The profile's poll: its query until the reply matches, or the deadline.
bool Tester::poll(Error *err, const cancel::Token *stop) {
    const Poll &pl = profile_.poll;
    Instrument::Session hold(inst_, stop);
    long long deadline = cancel::nowMs() + pl.deadlineMs;
    for (;;) {
        std::string reply;
        std::vector<QueueEntry> q;
        if (!inst_.query(pl.query, &reply, err) || !inst_.readErrors(&q, err)) return false;
        if (!q.empty()) return failWith(Fault::Instrument, pl.query, queueText(q), err);
        if (sameReply(reply, pl.until)) return true;
        if (cancel::nowMs() + pl.intervalMs > deadline)
            return failWith(Fault::Timeout, pl.query,
                            "still \"" + reply + "\", not \"" + pl.until + "\", after " +
                                std::to_string(pl.deadlineMs) + " ms (poll.deadline_ms)",
                            err);
        if (!cancel::sleepFor((uint32_t)pl.intervalMs, stop))
            return failWith(Fault::Cancelled, pl.query, "stopped while the tester captured", err);
    }
}

Params Tester::analyserParams() const {
    return {{"freq_mhz", formatNumber(an_.freqMhz)},
            {"bw_mhz", formatNumber(an_.bwMhz)},
            {"level_dbm", formatNumber(an_.levelDbm)}};
}

Params Tester::generatorParams() const {
    return {{"freq_mhz", formatNumber(gen_.freqMhz)},
            {"bw_mhz", formatNumber(gen_.bwMhz)},
            {"level_dbm", formatNumber(gen_.levelDbm)},
            {"rate", std::to_string(gen_.rate)}};
}

bool Tester::reset(Error *err, const cancel::Token *stop) { return run(Op::Reset, {}, err, stop); }

bool Tester::selectPort(int port, Error *err, const cancel::Token *stop) {
    return run(Op::SelectPort, {{"port", std::to_string(port)}}, err, stop);
}

bool Tester::setupAnalyser(const AnalyserSetup &s, Error *err, const cancel::Token *stop) {
    an_ = s;
    return run(Op::AnalyserSetup, analyserParams(), err, stop);
}

bool Tester::measure(Measurement *m, Error *err, const cancel::Token *stop) {
    Params p = analyserParams();
    Instrument::Session hold(inst_, stop);
    if (!profile_.commands(Op::Trigger).empty() &&
        !run(Op::Trigger, p, err, stop, nullptr, profile_.triggerTimeoutMs))
        return false;
    if (!profile_.poll.query.empty() && !poll(err, stop)) return false;
    Measurement out;
    if (!run(Op::MeasurePower, p, err, stop, &out.powerDbm) || !run(Op::MeasureEvm, p, err, stop, &out.evmDb) ||
        !run(Op::MeasureFreqError, p, err, stop, &out.freqErrorPpm))
        return false;
    *m = out;
    return true;
}

bool Tester::abort(Error *err) {
    if (profile_.commands(Op::Abort).empty()) return true;
    return run(Op::Abort, {}, err, nullptr);
}

bool Tester::setupGenerator(const GeneratorSetup &g, Error *err, const cancel::Token *stop) {
    gen_ = g;
    return run(Op::GeneratorSetup, generatorParams(), err, stop);
}

bool Tester::sendFrames(long frames, Error *err, const cancel::Token *stop) {
    if (frames < 1) {
        err->fault = Fault::Usage;
        err->message = inst_.name() + ": send_frames: the frame count must be at least 1";
        return false;
    }
    Params p = generatorParams();
    p.emplace_back("frames", std::to_string(frames));
    double sendMs = frames / profile_.framesPerSecond * 1000.0;
    double wait = profile_.timeoutMs + 2 * sendMs;
    return run(Op::SendFrames, p, err, stop, nullptr, wait > 3.6e6 ? 3600000 : (int)wait);
}

}  // namespace instrument
