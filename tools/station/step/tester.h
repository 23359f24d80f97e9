// rfprobe station: the tester plug for the plan steps that need it
// (station/steps/).
//
// The station drives the unit through the agent as always; the tester is
// reached through its plug (plug/tester.h), which the instrument library
// implements (instrument/unit_tester.h).
#pragma once

#include <cstdint>
#include <string>

#include "station/step/step.h"

namespace station {

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

// Whether the step can run: the tester is there and the radio has the
// settings the step needs (kNeedsChannel, kNeedsTx of station/step/step.h).
// The plan check refuses such a plan before anything is sent, so false
// (status 2) means a caller skipped the check.
bool testerReady(StepRun &s, unsigned needs);

// One transmission measured: with the tester held (its wait and hold
// added to the step's), the analyser set for the radio's last set-tx at
// expectDbm, start-tx, settleMs, the measurement, and stop-tx whatever the
// tester said.  kExitOk with *m, else the step's status with out.error
// set: a stop is "stopped ..." (130), the tester's failure 6, the agent's
// its own.
int measureTransmission(StepRun &s, double expectDbm, uint32_t settleMs, TxReading *m);

// One burst of the generator into a receive test: with the tester held,
// the generator set to the plan's last set-channel with the step's start-rx
// request's rate and bandwidth at levelDbm, start-rx, `frames` frames,
// stop-rx whatever the tester said.  kExitOk with *count (the received
// count, signed), else the step's status with out.error set.
int receiveBurst(StepRun &s, double levelDbm, long frames, double *count);

// The tester failed, or the unit was stopped: the step's status and error.
int testerFailed(StepRun &s, const std::string &why);
int stoppedStep(StepRun &s, const char *when);

}  // namespace station
