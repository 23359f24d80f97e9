// A unit's tester plug on the line's shared tester (see unit_tester.h).
#include "instrument/unit_tester.h"

namespace instrument {

bool UnitTester::take(double *waitedMs) {
    turn_.reset(new instrument::Tester::Turn(shared_.tester.queue(), stop_));
    *waitedMs += turn_->waitedMs();
    if (turn_->held()) return true;
    turn_.reset();
    return false;
}

void UnitTester::give() { turn_.reset(); }

bool UnitTester::fail(const Error &e, std::string *why) {
    *why = e.message;
    if (e.fault == Fault::Cancelled) {
        // Still this unit's turn: the tester is left idle for the next one.
        Error ae;
        if (!shared_.tester.abort(&ae)) *why += "; the tester's abort failed: " + ae.message;
    }
    return false;
}

bool UnitTester::setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) {
    Error e;
    AnalyserSetup s;
    s.freqMhz = channelCentreMhz(channel, bwMhz, agentSideband(channel, bwMhz));
    s.bwMhz = bwMhz;
    lossDb_ = unit_.loss.at(s.freqMhz);
    freqMhz_ = s.freqMhz;
    s.levelDbm = expectDbm - lossDb_;  // what reaches the tester's port
    if (!shared_.tester.selectPort(unit_.port, &e, stop_)) return fail(e, why);
    if (!shared_.tester.setupAnalyser(s, &e, stop_)) return fail(e, why);
    return true;
}

bool UnitTester::measure(plug::TxReading *out, std::string *why) {
    Error e;
    Measurement m;
    if (!shared_.tester.measure(&m, &e, stop_)) return fail(e, why);
    out->powerDbm = unit_.loss.atUnit(m.powerDbm, freqMhz_);
    out->evmDb = m.evmDb;
    out->freqErrorPpm = m.freqErrorPpm;
    return true;
}

bool UnitTester::setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                                std::string *why) {
    Error e;
    GeneratorSetup g;
    g.freqMhz = channelCentreMhz(channel, bwMhz, agentSideband(channel, bwMhz));
    g.bwMhz = bwMhz;
    g.rate = rate;
    lossDb_ = unit_.loss.at(g.freqMhz);
    freqMhz_ = g.freqMhz;
    g.levelDbm = unit_.loss.sourceLevel(levelDbm, g.freqMhz);
    if (!shared_.tester.selectPort(unit_.port, &e, stop_)) return fail(e, why);
    if (!shared_.tester.setupGenerator(g, &e, stop_)) return fail(e, why);
    return true;
}

bool UnitTester::sendFrames(long frames, std::string *why) {
    Error e;
    if (!shared_.tester.sendFrames(frames, &e, stop_)) return fail(e, why);
    return true;
}

}  // namespace instrument
