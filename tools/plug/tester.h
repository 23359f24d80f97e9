// The tester as a plug: what a plan step may ask of the line's tester,
// and nothing of how it is reached.  The station's steps use it; the
// instrument library implements it over a tester, its profile and the
// fixture (instrument/unit_tester.h); both only include this header, so a
// step's calls go down to the tester and never up into the line.  A build
// without the instrument library (the router's) has no plug and no tester
// steps to run.
//
// Every figure a plug takes or gives is at the unit's port: the
// implementation applies the path loss.
#pragma once

#include <string>

namespace plug {

// The analyser's figures, at the unit's port.
struct TxReading {
    double powerDbm = 0;
    double evmDb = 0;
    double freqErrorPpm = 0;
};

// One unit's access to the tester it shares with the line.  Between
// take() and give() the unit holds it alone; the holders follow each
// other in the order they asked.  Each operation returns false with *why
// naming the instrument, the command and the instrument's message.  The
// unit's token ends every wait, the queue's included: an operation then
// fails with stopped() true.
class Tester {
  public:
    // Waits for this unit's turn and adds how long it waited (ms) to
    // *waitedMs; false when the unit was stopped first (nothing held).
    virtual bool take(double *waitedMs) = 0;
    virtual void give() = 0;
    // The unit's token was raised: what failed was a stop, not a fault.
    virtual bool stopped() const = 0;

    // The analyser on this unit's port, set for a channel (its centre as
    // the radio occupies it) and the expected level.
    virtual bool setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) = 0;
    virtual bool measure(TxReading *out, std::string *why) = 0;
    // The generator on this unit's port, at levelDbm at the unit.
    virtual bool setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                                std::string *why) = 0;
    virtual bool sendFrames(long frames, std::string *why) = 0;

    // The path loss (dB) the last set-up applied, and the tester's *IDN?
    // answer (empty until it answered).
    virtual double lossDb() const = 0;
    virtual std::string idn() const = 0;

  protected:
    ~Tester() = default;
};

}  // namespace plug
