// The report's statistics; see stats.h.
#include "report/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace report {

Summary summarize(const std::vector<double> &values) {
    Summary s;
    s.n = (int64_t)values.size();
    if (values.empty()) return s;
    double sum = 0;
    s.min = s.max = values[0];
    for (double v : values) {
        sum += v;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
    }
    s.mean = sum / (double)s.n;
    // Equal values have no spread: the rounding of the sum (three 0.1 add
    // up to 0.30000000000000004) must not invent one.
    if (s.min == s.max) {
        s.mean = s.min;
        return s;
    }
    if (s.n > 1) {
        // Two passes: no cancellation for values far from zero.
        double sq = 0;
        for (double v : values) sq += (v - s.mean) * (v - s.mean);
        s.sigma = std::sqrt(sq / (double)(s.n - 1));
    }
    return s;
}

std::optional<double> cpk(const Summary &s, std::optional<double> low, std::optional<double> high) {
    if (!cpkWhyNot(s, low, high).empty()) return std::nullopt;
    double margin = std::numeric_limits<double>::infinity();
    if (high) margin = std::min(margin, *high - s.mean);
    if (low) margin = std::min(margin, s.mean - *low);
    return margin / (3 * s.sigma);
}

std::string cpkWhyNot(const Summary &s, std::optional<double> low, std::optional<double> high) {
    if (!low && !high) return "no limits";
    if (s.n < 2) return s.n == 1 ? "one value" : "no values";
    if (s.sigma == 0) return "no spread: every value the same";
    return "";
}

Histogram histogramBins(int64_t n, double mn, double mx, bool whole, size_t maxBins) {
    Histogram h;
    if (n <= 0) return h;
    maxBins = std::max<size_t>(maxBins, 1);
    size_t k = 1 + (size_t)std::ceil(std::log2((double)n));
    k = std::min(std::max<size_t>(k, 1), maxBins);
    if (mn == mx) {
        h.lo = mn - 0.5;
        h.width = 1;
        k = 1;
    } else if (whole) {
        double span = mx - mn + 1;  // distinct integers in range
        h.width = std::ceil(span / (double)k);
        h.lo = mn - 0.5;
        k = (size_t)std::ceil(span / h.width);
    } else {
        h.lo = mn;
        h.width = (mx - mn) / (double)k;
    }
    h.counts.assign(k, 0);
    return h;
}

size_t binOf(const Histogram &h, double v) {
    double pos = std::floor((v - h.lo) / h.width);
    return pos < 0 ? 0 : std::min((size_t)pos, h.counts.size() - 1);
}

Histogram histogram(const std::vector<double> &values, size_t maxBins) {
    if (values.empty()) return Histogram();
    double mn = values[0], mx = values[0];
    bool whole = true;
    for (double v : values) {
        mn = std::min(mn, v);
        mx = std::max(mx, v);
        whole = whole && std::floor(v) == v && std::fabs(v) < 9e15;
    }
    Histogram h = histogramBins((int64_t)values.size(), mn, mx, whole, maxBins);
    for (double v : values) h.counts[binOf(h, v)]++;
    return h;
}

void Sample::add(double v) {
    min = n ? std::min(min, v) : v;
    max = n ? std::max(max, v) : v;
    n++;
    if (values.size() < cap) {
        values.push_back(v);
        return;
    }
    // Reservoir sampling with a fixed generator (splitmix64 of n).
    uint64_t z = (uint64_t)n * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    uint64_t at = z % (uint64_t)n;
    if (at < cap) values[(size_t)at] = v;
}

std::vector<ParetoItem> pareto(std::vector<std::pair<std::string, int64_t>> counts) {
    std::sort(counts.begin(), counts.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    int64_t total = 0;
    for (const auto &c : counts) total += c.second;
    std::vector<ParetoItem> out;
    int64_t running = 0;
    for (const auto &c : counts) {
        if (c.second <= 0) continue;
        running += c.second;
        ParetoItem p;
        p.label = c.first;
        p.count = c.second;
        p.share = (double)c.second / (double)total;
        p.cumulative = (double)running / (double)total;
        out.push_back(p);
    }
    return out;
}

PassYield passYield(const std::vector<std::pair<std::string, results::Verdict>> &tests) {
    PassYield y;
    std::unordered_map<std::string, results::Verdict> last;
    for (const auto &t : tests) {
        y.records++;
        auto it = last.find(t.first);
        if (it == last.end()) {
            y.units++;
            if (t.second == results::Verdict::Pass) y.firstPass++;
            last.emplace(t.first, t.second);
        } else {
            y.retests++;
            it->second = t.second;
        }
    }
    for (const auto &l : last)
        if (l.second == results::Verdict::Pass) y.finalPass++;
    return y;
}

double quantile(const std::vector<double> &sorted, double q) {
    if (sorted.empty()) return 0;
    double pos = q * (double)(sorted.size() - 1);
    size_t i = (size_t)std::floor(pos);
    if (i + 1 >= sorted.size()) return sorted.back();
    return sorted[i] + (sorted[i + 1] - sorted[i]) * (pos - (double)i);
}

}  // namespace report
