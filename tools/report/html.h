// The HTML report: one self-contained page (inline CSS and SVG, no script,
// nothing fetched: its Content-Security-Policy forbids it) from the
// report's aggregates.  The same Report gives the same bytes.
//
// The page is a list of sections (html.cpp, kSections), each a function of
// the Report with its own anchor; the first screen links to them.  A new
// section is one more function and one more entry there.
#pragma once

#include <string>

#include "report/aggregate.h"

namespace report {

// Plans or stations with a day chart each; more get only their table.
constexpr size_t kMaxGroupCharts = 12;
// Rows of each list on the first screen.
constexpr size_t kFirstScreenRows = 5;

std::string htmlPage(const Report &r);

}  // namespace report
