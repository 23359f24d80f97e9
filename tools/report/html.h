// The HTML report: one self-contained page (inline CSS and SVG, no script,
// nothing fetched: its Content-Security-Policy forbids it) from the
// report's aggregates.  The same Report gives the same bytes.
#pragma once

#include <string>

#include "report/aggregate.h"

namespace report {

// Plans or stations with a day chart each; more get only their table.
constexpr size_t kMaxGroupCharts = 12;

std::string htmlPage(const Report &r);

}  // namespace report
