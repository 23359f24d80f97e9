// A unit's tester plug (plug/tester.h) on the line's shared tester: its
// fixture port and path loss, its turn in the tester's queue, its
// cancellation token in every wait.
#pragma once

#include <memory>
#include <string>

#include "cancel/token.h"
#include "instrument/fixture.h"
#include "instrument/tester.h"
#include "plug/tester.h"

namespace instrument {

// One tester, as the fixture names it, for every unit of a run.
struct SharedTester {
    explicit SharedTester(const Fixture &f)
        : fixture(f), tester(f.profile, f.tester) {}
    Fixture fixture;
    Tester tester;
};

// A unit's plug on the shared tester: its port and path loss.
class UnitTester : public plug::Tester {
  public:
    UnitTester(SharedTester &shared, const FixtureUnit &unit)
        : shared_(shared), unit_(unit) {}

    // The unit's token, passed into every wait (UnitRun sets it).
    void useStop(const cancel::Token *stop) { stop_ = stop; }

    bool take(double *waitedMs) override;
    void give() override;
    bool stopped() const override { return stop_ && stop_->raised(); }
    bool setupAnalyser(int channel, int bwMhz, double expectDbm, std::string *why) override;
    bool measure(plug::TxReading *out, std::string *why) override;
    bool setupGenerator(int channel, int bwMhz, int rate, double levelDbm,
                        std::string *why) override;
    bool sendFrames(long frames, std::string *why) override;
    double lossDb() const override { return lossDb_; }
    std::string idn() const override { return shared_.tester.idn(); }
    int port() const { return unit_.port; }

  private:
    bool fail(const Error &e, std::string *why);

    SharedTester &shared_;
    FixtureUnit unit_;
    std::unique_ptr<instrument::Tester::Turn> turn_;
    const cancel::Token *stop_ = nullptr;
    double freqMhz_ = 0;
    double lossDb_ = 0;
};

}  // namespace instrument
