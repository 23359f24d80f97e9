// rfprobe station: the tester as a plug for the plan steps that need it
// (station/steps/), and what a step knows of its unit beyond the link.
//
// The station drives the unit through the agent as always; the tester is
// reached through its plug (plug/tester.h), which the instrument library
// implements (instrument/unit_tester.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "plug/tester.h"

namespace station {

struct Link;
struct Options;
struct Action;
struct StepResult;
struct StepDetail;  // station/step.h

// The tester plug (plug/tester.h), as the steps call it.
using TxReading = plug::TxReading;
using StepTester = plug::Tester;

// The unit's turn at the tester for one stretch of tester work, given back
// however it ends; held() is false when the unit was stopped while it
// queued (then nothing is held and nothing may be sent to the tester).
// Adds how long it queued to *waitedMs and how long it held the tester
// to *heldMs (the line's floor is the tester's busy time).
class TesterHold {
  public:
    TesterHold(StepTester &t, double *waitedMs, double *heldMs);
    ~TesterHold();
    TesterHold(const TesterHold &) = delete;
    TesterHold &operator=(const TesterHold &) = delete;
    bool held() const { return held_; }

  private:
    StepTester &t_;
    double *heldMs_;
    double since_ = 0;
    bool held_;
};

// A golden unit's reference: what the unit really sends and how well it
// really receives, measured once on a trusted bench (its file:
// docs/tester.md, "The golden unit"; the line reads it).  Figures at the
// unit's antenna port.
struct GoldenPoint {
    double setDbm;     // the set-tx power
    double outputDbm;  // what the unit sends at it
};
struct GoldenChannel {
    int channel = 0, bwMhz = 20;
    int rate = 0;                 // the rate of the sensitivity and the reference's set-tx
    double sensitivityDbm = 0;    // the level at which 10 % of the frames are lost
    std::vector<GoldenPoint> chains[2];  // per chain; an empty chain is not measured
    int line = 0;                 // where the file gives it, for messages
};
struct GoldenReference {
    std::string path;    // the file, for messages
    std::string serial;  // the golden unit's
    std::string source;  // where the figures came from
    std::vector<GoldenChannel> channels;
    const GoldenChannel *find(int channel) const {
        for (const GoldenChannel &c : channels)
            if (c.channel == channel) return &c;
        return nullptr;
    }
};

// What the steps of one unit's plan run share: the radio's settings as
// the plan has made them so far, and the unit's tester.
struct StepContext {
    StepTester *tester = nullptr;  // null: no fixture (tester steps ERROR)
    int channel = -1;              // the last set-channel that got its reply
    // The last set-tx that got its reply, with the channel it applied.
    bool txSet = false;
    int txChannel = 0, txBwMhz = 20, txRate = 0;
    double txPowerDbm = 0;
    bool testerUsed = false;       // a tester step ran (the record names the tester)
    // The golden unit's reference for a step that needs it (kNeedsGolden),
    // read and checked by the line before anything is sent.
    const GoldenReference *golden = nullptr;
    std::shared_ptr<StepDetail> detail;  // the running step's detail (StepResult::detail)
};

struct StepRun;

// For the steps of station/steps/ that use the tester.
//
// Whether the step can run: the tester is there and the radio has the
// settings the step needs (kNeedsChannel, kNeedsTx of station/step.h).
// The plan check refuses such a plan before anything is sent, so false
// (status 2) means a caller skipped the check.
bool testerReady(StepRun &s, unsigned needs);

// One transmission measured: with the tester held (its wait and hold
// added to the step's), the analyser set for the radio's last set-tx at
// expectDbm, start-tx, the settle time (--settle), the measurement, and
// stop-tx whatever the tester said.  kExitOk with *m, else the step's
// status with out.error set: a stop is "stopped ..." (130), the tester's
// failure 6, the agent's its own.
int measureTransmission(StepRun &s, double expectDbm, TxReading *m);

// The tester failed, or the unit was stopped: the step's status and error.
int testerFailed(StepRun &s, const std::string &why);
int stoppedStep(StepRun &s, const char *when);

}  // namespace station
