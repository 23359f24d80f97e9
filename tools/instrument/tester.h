// The station's view of a tester: the operations it needs, sent in the
// dialect of a profile to one Instrument.  Set-up operations read the
// error queue after each command, so an error names the command that
// caused it; measurements are read as the profile says (field, status,
// unit) and refuse not-a-number.
//
// Figures here are at the tester's port; PathLoss (fixture.h) moves them
// to the unit's port.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "instrument/profile.h"
#include "instrument/scpi.h"

namespace instrument {

struct AnalyserSetup {
    double freqMhz = 0;   // centre of the channel the unit occupies
    double bwMhz = 20;
    double levelDbm = 0;  // expected level at the tester's port
};

struct GeneratorSetup {
    double freqMhz = 0;
    double bwMhz = 20;
    double levelDbm = -60;  // at the tester's port
    int rate = 0;           // the station's rate index (0-48)
};

struct Measurement {
    double powerDbm = 0;     // at the tester's port
    double evmDb = 0;
    double freqErrorPpm = 0;
};

// The centre frequency (MHz) of the channel a unit occupies, which the
// analyser and the generator are set to: channels 1-13 at 2407 + 5n, 14 at
// 2484, 5 GHz channels at 5000 + 5n; a 40 MHz channel 10 MHz above its
// control channel for sideband -1 (the agent's choice below channel 7)
// and 10 MHz below for +1; 80 and 160 MHz channels named by their centre.
// The simulated radio follows the same rule (sim/unittruth.h).
double channelCentreMhz(int channel, int bwMhz, int sideband);
// The sideband the agent sets for a channel and bandwidth.
inline int agentSideband(int channel, int bwMhz) { return bwMhz == 40 ? (channel < 7 ? -1 : 1) : 0; }

// One holder at a time, served in the order they asked (a ticket lock):
// the units of a line share one tester, and a unit that asks first is
// served first.  A Turn holds the queue for one stretch of tester work
// (set-up, measurements); waitedMs() is how long it queued, for the
// record.  A unit stopped while it queues leaves the queue (held() is
// false) and its ticket is skipped, so the units behind it move up.
class FairQueue {
  public:
    class Turn {
      public:
        explicit Turn(FairQueue &q, const cancel::Token *stop = nullptr);
        ~Turn();
        Turn(const Turn &) = delete;
        Turn &operator=(const Turn &) = delete;
        double waitedMs() const { return waitedMs_; }
        bool held() const { return held_; }

      private:
        FairQueue &q_;
        double waitedMs_ = 0;
        bool held_ = false;
    };

    // The holder and those waiting (0 when free).
    uint64_t queued() {
        std::lock_guard<std::mutex> lock(mu_);
        return next_ - serving_;
    }

  private:
    void advance();  // under mu_: the next ticket that still waits

    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t next_ = 0, serving_ = 0;
    std::set<uint64_t> left_;  // tickets whose holders stopped waiting
};

class Tester {
  public:
    Tester(const Profile &p, const Resource &r);

    // Take a turn before a step's operations when several units share this
    // tester: Tester::Turn turn(tester.queue());
    using Turn = FairQueue::Turn;
    FairQueue &queue() { return queue_; }

    // Connects and asks *IDN? (see idn()); every operation connects first
    // when not connected.
    bool connect(Error *err);
    std::string idn() const { return inst_.idn(); }
    Instrument &instrument() { return inst_; }

    // Each operation ends with a Cancelled error, the connection closed,
    // as soon as stop (null: none) is raised; it sends nothing once it is.
    bool reset(Error *err, const cancel::Token *stop = nullptr);
    bool selectPort(int port, Error *err, const cancel::Token *stop = nullptr);
    bool setupAnalyser(const AnalyserSetup &s, Error *err, const cancel::Token *stop = nullptr);
    // Power, EVM and frequency error with the last analyser set-up: the
    // profile's trigger and poll (the unit transmits by now), then the
    // measurements' queries, each reply in the record's unit.
    bool measure(Measurement *m, Error *err, const cancel::Token *stop = nullptr);
    bool setupGenerator(const GeneratorSetup &g, Error *err, const cancel::Token *stop = nullptr);
    // Sends frames and returns when the tester says they are sent (waits
    // timeout_ms plus twice the frames' time at frames_per_second).
    bool sendFrames(long frames, Error *err, const cancel::Token *stop = nullptr);
    // After a stopped operation: the profile's abort, so that the next unit
    // finds the tester idle (nothing to do without one: the stop closed the
    // connection).  Not stopped by any token; bounded by the timeouts.
    bool abort(Error *err);

  private:
    bool run(Op op, const Params &p, Error *err, const cancel::Token *stop, double *value = nullptr,
             int timeoutMs = 0);
    bool readMeasurement(Op op, const std::string &cmd, double *value, Error *err);
    bool poll(Error *err, const cancel::Token *stop);
    bool failWith(Fault f, const std::string &cmd, const std::string &what, Error *err);
    Params analyserParams() const;
    Params generatorParams() const;

    Profile profile_;
    Instrument inst_;
    FairQueue queue_;
    AnalyserSetup an_;
    GeneratorSetup gen_;
};

}  // namespace instrument
