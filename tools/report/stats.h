// The statistics of the HTML report, on plain numbers: summaries (n, mean,
// sigma), process capability (Cpk), histogram bins, the Pareto order of
// failures and first-pass against final yield.  Results depend only on the
// values and their order, so the same records give the same bytes from any
// store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "results/record.h"

namespace report {

struct Summary {
    int64_t n = 0;
    double mean = 0, sigma = 0;  // sigma: sample standard deviation (n - 1); 0 when n < 2 or all equal
    double min = 0, max = 0;
};
Summary summarize(const std::vector<double> &values);

// Cpk = min(high - mean, mean - low) / (3 sigma), from the limits there are
// (one limit: that side only).  None without limits, with fewer than two
// values or without spread (sigma 0: a ratio that says nothing about the
// process, whatever rounding leaves of it); cpkWhyNot says which.
std::optional<double> cpk(const Summary &s, std::optional<double> low, std::optional<double> high);
// Why there is no Cpk ("no limits", "one value", ...); empty when there is.
std::string cpkWhyNot(const Summary &s, std::optional<double> low, std::optional<double> high);
// The capability a line expects; a lower Cpk is shown in red.
constexpr double kCpkTarget = 1.33;

// Equal-width bins over the values' range, [lo + i w, lo + (i+1) w), the last
// one closed.  About Sturges' count of bins (1 + ceil(log2 n)), at most
// maxBins.  Whole-number values get whole-number widths with edges at
// halves, so that no bin falls between two integers and stays empty.  A
// single distinct value gets one bin of width 1 around it.  No values: no
// bins.
struct Histogram {
    double lo = 0, width = 1;
    std::vector<int64_t> counts;
    double edge(size_t i) const { return lo + width * (double)i; }
    double hi() const { return edge(counts.size()); }
};
constexpr size_t kMaxBins = 40;
Histogram histogram(const std::vector<double> &values, size_t maxBins = kMaxBins);
// The same bins, empty, for n values from min to max (whole: every one a
// whole number); the counts are the caller's (binOf).
Histogram histogramBins(int64_t n, double min, double max, bool whole, size_t maxBins = kMaxBins);
size_t binOf(const Histogram &h, double v);

// Values kept for order statistics (quantiles, histograms): all of them up
// to cap, beyond it a uniform sample of cap (the same values always give
// the same sample); n, min and max are of all values.
struct Sample {
    explicit Sample(size_t cap = 1000000) : cap(cap) {}
    void add(double v);
    size_t cap;
    int64_t n = 0;
    double min = 0, max = 0;
    std::vector<double> values;
};

// Failures counted per label, most frequent first (ties by label, bytewise),
// each with its share of all failures and the cumulative share.
struct ParetoItem {
    std::string label;
    int64_t count = 0;
    double share = 0, cumulative = 0;
};
std::vector<ParetoItem> pareto(std::vector<std::pair<std::string, int64_t>> counts);

// First-pass yield: the units whose first record passed; final yield: the
// units whose last record passed; retests: the records after each unit's
// first.  tests: every record as (serial, verdict), oldest first.
struct PassYield {
    int64_t records = 0, units = 0, firstPass = 0, finalPass = 0, retests = 0;
    double firstPassYield() const { return units ? (double)firstPass / (double)units : 0; }
    double finalYield() const { return units ? (double)finalPass / (double)units : 0; }
};
PassYield passYield(const std::vector<std::pair<std::string, results::Verdict>> &tests);

// The q-quantile (0..1) of sorted values, interpolated between neighbours.
double quantile(const std::vector<double> &sorted, double q);

}  // namespace report
