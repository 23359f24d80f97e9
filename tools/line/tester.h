// The line's tester for plan steps: the fixture's tester shared by the
// units of a run, each unit reaching it through its own port and cable.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "instrument/fixture.h"
#include "instrument/unit_tester.h"

namespace line {

using SharedTester = instrument::SharedTester;
using UnitTester = instrument::UnitTester;

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
