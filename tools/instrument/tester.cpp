#include "instrument/tester.h"

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

FairQueue::Turn::Turn(FairQueue &q) : q_(q) {
    auto t0 = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(q.mu_);
    uint64_t mine = q.next_++;
    q.cv_.wait(lock, [&] { return q.serving_ == mine; });
    waitedMs_ = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

FairQueue::Turn::~Turn() {
    {
        std::lock_guard<std::mutex> lock(q_.mu_);
        q_.serving_++;
    }
    q_.cv_.notify_all();
}

Tester::Tester(const Profile &p, const Resource &r)
    : profile_(p), inst_("tester", r, Timeouts{p.connectTimeoutMs, p.timeoutMs}) {
    inst_.setErrorQuery(p.errorQuery, p.maxErrors);
}

bool Tester::connect(Error *err) { return inst_.connect(err); }

// Each command, then the error queue; the last query's reply in *lastReply.
bool Tester::run(Op op, const Params &p, Error *err, std::string *lastReply, int timeoutMs) {
    Instrument::Session hold(inst_);
    if (!inst_.connect(err)) return false;
    const std::vector<std::string> &cmds = profile_.commands(op);
    for (size_t i = 0; i < cmds.size(); i++) {
        std::string cmd = expand(cmds[i], p);
        bool last = i + 1 == cmds.size();
        if (!isQuery(cmd)) {
            if (!inst_.command(cmd, err)) return false;
            continue;
        }
        std::string reply;
        if (last && op >= Op::MeasurePower && op <= Op::MeasureFreqError) {
            double v;
            if (!inst_.queryNumber(cmd, &v, err)) return false;
            reply = formatNumber(v);
        } else if (!inst_.query(cmd, &reply, err, last ? timeoutMs : 0)) {
            return false;
        }
        std::vector<QueueEntry> q;
        if (!inst_.readErrors(&q, err)) return false;
        if (!q.empty()) {
            err->fault = Fault::Instrument;
            err->message = inst_.name() + ": " + cmd + ": " + queueText(q);
            return false;
        }
        if (lastReply) *lastReply = reply;
    }
    return true;
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

bool Tester::reset(Error *err) { return run(Op::Reset, {}, err); }

bool Tester::selectPort(int port, Error *err) {
    return run(Op::SelectPort, {{"port", std::to_string(port)}}, err);
}

bool Tester::setupAnalyser(const AnalyserSetup &s, Error *err) {
    an_ = s;
    return run(Op::AnalyserSetup, analyserParams(), err);
}

bool Tester::measure(Measurement *m, Error *err) {
    Params p = analyserParams();
    std::string r;
    Measurement out;
    if (!run(Op::MeasurePower, p, err, &r)) return false;
    out.powerDbm = strtod(r.c_str(), nullptr);
    if (!run(Op::MeasureEvm, p, err, &r)) return false;
    out.evmDb = strtod(r.c_str(), nullptr);
    if (!run(Op::MeasureFreqError, p, err, &r)) return false;
    out.freqErrorPpm = strtod(r.c_str(), nullptr);
    *m = out;
    return true;
}

bool Tester::setupGenerator(const GeneratorSetup &g, Error *err) {
    gen_ = g;
    return run(Op::GeneratorSetup, generatorParams(), err);
}

bool Tester::sendFrames(long frames, Error *err) {
    if (frames < 1) {
        err->fault = Fault::Usage;
        err->message = inst_.name() + ": send_frames: the frame count must be at least 1";
        return false;
    }
    Params p = generatorParams();
    p.emplace_back("frames", std::to_string(frames));
    double sendMs = frames / profile_.framesPerSecond * 1000.0;
    double wait = profile_.timeoutMs + 2 * sendMs;
    return run(Op::SendFrames, p, err, nullptr, wait > 3.6e6 ? 3600000 : (int)wait);
}

}  // namespace instrument
