// The report's charts as inline SVG, drawn from the aggregates.  Each chart
// marks what the browser test reads: histogram bins are rect.bin with
// data-lo, data-hi and data-n; limit lines are line.limit with data-limit
// (low or high) and data-value.
#pragma once

#include <optional>
#include <string>

#include "report/aggregate.h"

namespace report {

// Records per day, stacked PASS / FAIL / ERROR, with the yield on hover.
// More than kMaxDayBars days (with records): each bar holds several
// consecutive ones.
constexpr size_t kMaxDayBars = 190;
std::string dayChart(const YieldGroup &g, int width, int height);
// Failures per step, most frequent first, with the cumulative share.
std::string paretoChart(const ParetoReport &p, size_t maxBars);
// A histogram with the limit lines it has; unit (when not empty) is
// written under the values' axis.
std::string histogramChart(const Histogram &h, std::optional<double> low, std::optional<double> high,
                           const std::string &label, const std::string &unit = "");
// Means of consecutive runs of values over time, their min..max as a band,
// and the limit lines; unit (when not empty) is written over the values'
// axis.
std::string runChart(const std::vector<RunPoint> &run, std::optional<double> low, std::optional<double> high,
                     const std::string &label, const std::string &unit = "");

}  // namespace report
