// The line's tester for plan steps: the fixture's tester shared by the
// units of a run, each unit reaching it through its own port and cable.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "instrument/fixture.h"
#include "instrument/tester.h"
#include "station/tester_step.h"

namespace line {

// One tester, as the fixture names it, for every unit of a run.
struct SharedTester {
    explicit SharedTester(const instrument::Fixture &f)
        : fixture(f), tester(f.profile, f.tester) {}
    instrument::Fixture fixture;
    instrument::Tester tester;
};

// A unit's StepTester: its port and path loss on the shared tester.
class UnitTester : public station::StepTester {
  public:
    UnitTester(SharedTester &shared, const instrument::FixtureUnit &unit)
        : shared_(shared), unit_(unit) {}

    // The unit's token, passed into every wait (UnitRun sets it).
    void useStop(const cancel::Token *stop) { stop_ = stop; }

    bool take(double *waitedMs) override;
    void give() override;
    bool stopped() const override { return stop_ && stop_->raised(); }
    bool setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) override;
    bool measure(station::TxReading *out, std::string *why) override;
    bool setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                        std::string *why) override;
    bool sendFrames(long frames, std::string *why) override;
    double lossDb() const override { return lossDb_; }
    std::string idn() const override { return shared_.tester.idn(); }
    int port() const { return unit_.port; }

  private:
    bool fail(const instrument::Error &e, std::string *why);

    SharedTester &shared_;
    instrument::FixtureUnit unit_;
    std::unique_ptr<instrument::Tester::Turn> turn_;
    const cancel::Token *stop_ = nullptr;
    double freqMhz_ = 0;
    double lossDb_ = 0;
};

// The fixture for a run: --fixture, else $RFPROBE_FIXTURE; empty when
// neither is given.
std::string fixturePath(const char *option);

struct Plan;

// The fixture's tester for the units of a run (or of the operator page),
// when the plan needs it or a fixture is given (option, else
// $RFPROBE_FIXTURE).  Returns kExitOk, or kExitUsage after saying why on
// stderr as "rfprobe: COMMAND: ..." (nothing was sent).
int prepareTester(const Plan &plan, const char *option, const char *command,
                  std::unique_ptr<SharedTester> *out);

// Gives each unit (its interface; "" when the station listens on any)
// its fixture entry on the shared tester; refuses, with kExitUsage after
// saying why, a unit the fixture does not cable when the plan needs the
// tester.  A null shared tester gives nothing.  The entries live as long
// as the shared tester.
int cableUnits(const Plan &plan, const SharedTester *shared, const std::vector<std::string> &ifaces,
               const char *command,
               const std::function<void(size_t, const instrument::FixtureUnit &)> &give);

}  // namespace line
