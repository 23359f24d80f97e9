// The golden checks over time per tester port: a run chart of the power
// difference from the golden unit's reference with the tolerance lines, so
// that a drifting cable shows before it fails.  Records of kind golden
// (metadata kind = golden, fixture_port) and their power_diff.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/aggregate.h"

namespace report {

// Per station and port, in that order.
std::vector<GoldenPort> goldenPorts(results::Store &store, const results::RecordFilter &filter);
// The report's section; "" without golden checks.
std::string goldenSection(const std::vector<GoldenPort> &ports);

}  // namespace report
