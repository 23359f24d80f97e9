// The report's charts as inline SVG, drawn from the aggregates.  Each chart
// is drawn in its own units and scaled to the page (svg.h), names its axes
// with their units, and keeps every text inside its box.  Each chart marks
// what the browser test reads: histogram bins are rect.bin with data-lo,
// data-hi and data-n; limit lines are line.limit with data-limit (low or
// high) and data-value.
#pragma once

#include <optional>
#include <string>

#include "report/aggregate.h"

namespace report {

// What a chart's axes are: the titles under and over them.
struct Axes {
    std::string x, y;
};

// Records per day (in the report's zone), stacked PASS / FAIL / ERROR, with the yield on
// hover.  More than kMaxDayBars days (with records): each bar holds
// several consecutive ones.
constexpr size_t kMaxDayBars = 190;
std::string dayChart(const YieldGroup &g, int width, int height);
// Failures by measurement, most frequent first, as horizontal bars with
// FAIL and ERROR apart and the whole label beside each (wrapped).
std::string paretoChart(const ParetoReport &p, size_t maxBars);
// A histogram with the limit lines it has.
std::string histogramChart(const Histogram &h, std::optional<double> low, std::optional<double> high,
                           const std::string &label, const Axes &axes);
// Means of consecutive runs of values over time, their min..max as a band,
// and the limit lines.
std::string runChart(const std::vector<RunPoint> &run, std::optional<double> low, std::optional<double> high,
                     const std::string &label, const Axes &axes);
// A pa-cal step's signed power error before (first round) and after (its
// verify) on one scale, with the tolerance lines.
std::string calibrationChart(const PowerErrorReport &p, const std::string &label);
// Power error against set power (5..21 dBm at least): each set power's
// range and mean, one series per name (before, after), and the limits.
struct BandSeries {
    std::string name;  // also its class: "before" or "after"
    const std::vector<Band> *bands;
};
std::string setPowerChart(const std::vector<BandSeries> &series, std::optional<double> low,
                          std::optional<double> high, const std::string &label);

// text in lines of at most maxChars characters, broken at " · " or spaces
// where it can; at most maxLines, the last one cut with an ellipsis.
std::vector<std::string> wrapText(const std::string &text, size_t maxChars, size_t maxLines);

}  // namespace report
