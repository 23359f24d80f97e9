// The line's tester for plan steps (see tester.h).
#include "line/tester.h"

#include <cstdlib>

namespace line {

double UnitTester::take() {
    turn_.reset(new instrument::Tester::Turn(shared_.tester.queue()));
    return turn_->waitedMs();
}

void UnitTester::give() { turn_.reset(); }

bool UnitTester::fail(const instrument::Error &e, std::string *why) {
    *why = e.message;
    return false;
}

bool UnitTester::setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) {
    instrument::Error e;
    instrument::AnalyserSetup s;
    s.freqMhz = instrument::channelCentreMhz(channel, bwMhz, instrument::agentSideband(channel, bwMhz));
    s.bwMhz = bwMhz;
    lossDb_ = unit_.loss.at(s.freqMhz);
    freqMhz_ = s.freqMhz;
    s.levelDbm = expectDbm - lossDb_;  // what reaches the tester's port
    if (!shared_.tester.selectPort(unit_.port, &e)) return fail(e, why);
    if (!shared_.tester.setupAnalyser(s, &e)) return fail(e, why);
    return true;
}

bool UnitTester::measure(station::TxReading *out, std::string *why) {
    instrument::Error e;
    instrument::Measurement m;
    if (!shared_.tester.measure(&m, &e)) return fail(e, why);
    out->powerDbm = unit_.loss.atUnit(m.powerDbm, freqMhz_);
    out->evmDb = m.evmDb;
    out->freqErrorPpm = m.freqErrorPpm;
    return true;
}

bool UnitTester::setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                                std::string *why) {
    instrument::Error e;
    instrument::GeneratorSetup g;
    g.freqMhz = instrument::channelCentreMhz(channel, bwMhz, instrument::agentSideband(channel, bwMhz));
    g.bwMhz = bwMhz;
    g.rate = rate;
    lossDb_ = unit_.loss.at(g.freqMhz);
    freqMhz_ = g.freqMhz;
    g.levelDbm = unit_.loss.sourceLevel(levelDbm, g.freqMhz);
    if (!shared_.tester.selectPort(unit_.port, &e)) return fail(e, why);
    if (!shared_.tester.setupGenerator(g, &e)) return fail(e, why);
    return true;
}

bool UnitTester::sendFrames(long frames, std::string *why) {
    instrument::Error e;
    if (!shared_.tester.sendFrames(frames, &e)) return fail(e, why);
    return true;
}

std::string fixturePath(const char *option) {
    if (option) return option;
    const char *env = getenv("RFPROBE_FIXTURE");
    return env ? env : "";
}

}  // namespace line
