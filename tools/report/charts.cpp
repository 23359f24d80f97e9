// The report's charts; see charts.h.
#include "report/charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/svg.h"

namespace report {

namespace {

std::string pct(double share) {
    char b[32];
    snprintf(b, sizeof b, "%.1f%%", 100.0 * share);
    return b;
}

std::string attr(const char *name, const std::string &value) {
    return std::string(" ") + name + "=\"" + escape(value) + "\"";
}

// A shortened label for an axis (the full one is in the bar's title).
std::string shortLabel(const std::string &s, size_t max) {
    if (s.size() <= max) return s;
    size_t cut = max - 1;
    while (cut > 0 && ((unsigned char)s[cut] & 0xC0) == 0x80) cut--;
    return s.substr(0, cut) + "\xE2\x80\xA6";
}

// Widens a value range so that the limits drawn on the chart fall inside it.
void takeInLimits(double &d0, double &d1, std::optional<double> low, std::optional<double> high) {
    for (auto l : {low, high})
        if (l) {
            d0 = std::min(d0, *l);
            d1 = std::max(d1, *l);
        }
}

}  // namespace

std::string dayChart(const YieldGroup &group, int width, int height) {
    // Many days: consecutive days share a bar, so that the chart stays
    // readable and the page small.
    YieldGroup g;
    g.name = group.name;
    size_t per = (group.days.size() + kMaxDayBars - 1) / kMaxDayBars;
    std::vector<std::string> lastDay;
    for (size_t i = 0; i < group.days.size(); i++) {
        const DayCounts &d = group.days[i];
        if (i % std::max<size_t>(per, 1) == 0) {
            g.days.push_back({d.day, {}});
            lastDay.push_back(d.day);
        }
        Counts &c = g.days.back().counts;
        c.records += d.counts.records;
        c.pass += d.counts.pass;
        c.fail += d.counts.fail;
        c.error += d.counts.error;
        lastDay.back() = d.day;
    }
    Svg svg(width, height, "chart days", "records per day: " + g.name);
    const double left = 44, right = width - 8, top = 10, bottom = height - 26;
    int64_t most = 1;
    for (const DayCounts &d : g.days) most = std::max(most, d.counts.records);
    std::vector<double> yt = countTicks((double)most);
    Scale y{0, std::max((double)most, yt.back()), bottom, top};
    svg.yAxis(y, left, right, yt);
    size_t n = g.days.size();
    double band = n ? (right - left) / (double)n : 0, bar = std::max(1.0, band * 0.8);
    size_t labelEvery = std::max<size_t>(1, (size_t)std::ceil(70.0 / std::max(band, 1.0)));
    for (size_t i = 0; i < n; i++) {
        const DayCounts &d = g.days[i];
        double x = left + band * (double)i + (band - bar) / 2;
        std::string title = d.day + (lastDay[i] != d.day ? " to " + lastDay[i] : std::string()) + ": " +
                            std::to_string(d.counts.records) + " records, " +
                            std::to_string(d.counts.pass) + " PASS, " + std::to_string(d.counts.fail) +
                            " FAIL, " + std::to_string(d.counts.error) + " ERROR, yield " +
                            pct(d.counts.yield());
        svg.raw("<g class=\"day\"" + attr("data-day", d.day) + attr("data-records", std::to_string(d.counts.records)) +
                attr("data-pass", std::to_string(d.counts.pass)) + "><title>" + escape(title) + "</title>");
        double base = bottom;
        const std::pair<int64_t, const char *> parts[] = {
            {d.counts.pass, "pass"}, {d.counts.fail, "fail"}, {d.counts.error, "error"}};
        for (const auto &part : parts) {
            if (!part.first) continue;
            double top = y.at((double)(d.counts.records - (d.counts.records - part.first)));
            double h = bottom - top;
            svg.rect(x, base - h, bar, h, part.second);
            base -= h;
        }
        svg.raw("</g>");
        if (i % labelEvery == 0) svg.text(x + bar / 2, bottom + 16, d.day, "middle", "tick");
    }
    svg.line(left, bottom, right, bottom, "axis");
    return svg.done();
}

std::string paretoChart(const ParetoReport &p, size_t maxBars) {
    size_t n = std::min(p.items.size(), maxBars);
    int width = 860, height = 320;
    Svg svg(width, height, "chart pareto", "failing steps, most frequent first");
    // Room on the left and below for the slanted step names.
    const double left = 170, right = width - 48, top = 12, bottom = height - 110;
    int64_t most = n ? p.items[0].count : 1;
    std::vector<double> yt = countTicks((double)most);
    Scale y{0, std::max((double)most, yt.back()), bottom, top};
    Scale share{0, 1, bottom, top};
    svg.yAxis(y, left, right, yt);
    svg.line(right, top, right, bottom, "axis");
    for (double s : {0.0, 0.5, 1.0}) svg.text(right + 4, share.at(s) + 4, pct(s), "start", "tick");
    double band = n ? (right - left) / (double)n : 0, bar = band * 0.7;
    std::vector<std::pair<double, double>> cum;
    for (size_t i = 0; i < n; i++) {
        const ParetoItem &it = p.items[i];
        double x = left + band * (double)i + (band - bar) / 2;
        svg.rect(x, y.at((double)it.count), bar, bottom - y.at((double)it.count), "bar",
                 attr("data-count", std::to_string(it.count)),
                 it.label + ": " + std::to_string(it.count) + " (" + pct(it.share) + "), cumulative " +
                     pct(it.cumulative));
        cum.emplace_back(x + bar / 2, share.at(it.cumulative));
        double lx = x + bar / 2, ly = bottom + 10;
        char tr[96];
        snprintf(tr, sizeof tr, " transform=\"rotate(-35 %.1f %.1f)\"", lx, ly);
        svg.raw("<text x=\"" + std::to_string((int)lx) + "\" y=\"" + std::to_string((int)ly) +
                "\" text-anchor=\"end\" class=\"tick\"" + tr + ">" + escape(shortLabel(it.label, 36)) + "</text>");
    }
    if (!cum.empty()) {
        svg.polyline(cum, "cumulative");
        for (size_t i = 0; i < cum.size(); i++)
            svg.circle(cum[i].first, cum[i].second, 3, "cumulative", pct(p.items[i].cumulative));
    }
    svg.line(left, bottom, right, bottom, "axis");
    return svg.done();
}

std::string histogramChart(const Histogram &h, std::optional<double> low, std::optional<double> high,
                           const std::string &label, const std::string &unit) {
    // A unit takes a line of its own under the tick labels.
    int width = 420, height = unit.empty() ? 220 : 234;
    Svg svg(width, height, "chart histogram", label);
    const double left = 44, right = width - 12, top = 18, bottom = 194;
    const std::string per = unit.empty() ? "" : " " + unit;
    double d0 = h.lo, d1 = h.hi();
    takeInLimits(d0, d1, low, high);
    double pad = (d1 - d0) * 0.04;
    if (pad == 0) pad = 1;
    Scale x{d0 - pad, d1 + pad, left, right};
    int64_t most = 1;
    for (int64_t c : h.counts) most = std::max(most, c);
    std::vector<double> yt = countTicks((double)most);
    Scale y{0, std::max((double)most, yt.back()), bottom, top};
    svg.yAxis(y, left, right, yt);
    for (size_t i = 0; i < h.counts.size(); i++) {
        double a = x.at(h.edge(i)), b = x.at(h.edge(i + 1));
        std::string lo = exact(h.edge(i)), hi = exact(h.edge(i + 1));
        svg.rect(a, y.at((double)h.counts[i]), std::max(0.0, b - a - 1), bottom - y.at((double)h.counts[i]),
                 "bin",
                 attr("data-lo", lo) + attr("data-hi", hi) + attr("data-n", std::to_string(h.counts[i])),
                 shown(h.edge(i)) + " .. " + shown(h.edge(i + 1)) + per + ": " + std::to_string(h.counts[i]));
    }
    svg.xAxis(x, bottom, ticks(x.d0, x.d1, 5));
    if (!unit.empty()) svg.text((left + right) / 2, bottom + 29, unit, "middle", "unit");
    const std::pair<std::optional<double>, const char *> limits[] = {{low, "low"}, {high, "high"}};
    for (const auto &l : limits) {
        if (!l.first) continue;
        double p = x.at(*l.first);
        svg.line(p, top - 6, p, bottom, "limit", attr("data-limit", l.second) + attr("data-value", exact(*l.first)));
        svg.text(p, top - 8, std::string(l.second == std::string("low") ? "LSL " : "USL ") + shown(*l.first),
                 "middle", "limit-label");
    }
    return svg.done();
}

std::string runChart(const std::vector<RunPoint> &run, std::optional<double> low, std::optional<double> high,
                     const std::string &label, const std::string &unit) {
    int width = 420, height = 220;
    Svg svg(width, height, "chart run", label);
    const double left = 44, right = width - 12, top = 18, bottom = height - 26;
    if (run.empty()) return svg.done();
    double d0 = run[0].min, d1 = run[0].max;
    for (const RunPoint &p : run) {
        d0 = std::min(d0, p.min);
        d1 = std::max(d1, p.max);
    }
    takeInLimits(d0, d1, low, high);
    double pad = (d1 - d0) * 0.06;
    if (pad == 0) pad = 1;
    Scale y{d0 - pad, d1 + pad, bottom, top};
    svg.yAxis(y, left, right, ticks(y.d0, y.d1, 4));
    if (!unit.empty()) svg.text(left - 4, top - 7, unit, "end", "unit");
    const std::string per = unit.empty() ? "" : " " + unit;
    double step = (right - left) / (double)run.size();
    std::vector<std::pair<double, double>> means;
    for (size_t i = 0; i < run.size(); i++) {
        const RunPoint &p = run[i];
        double cx = left + step * ((double)i + 0.5);
        svg.line(cx, y.at(p.min), cx, y.at(p.max), "range");
        means.emplace_back(cx, y.at(p.mean));
    }
    svg.polyline(means, "mean", attr("data-points", std::to_string(run.size())));
    for (size_t i = 0; i < run.size(); i++)
        svg.circle(means[i].first, means[i].second, 2.5, "mean",
                   "from " + run[i].from + ": " + std::to_string(run[i].n) + " values, mean " +
                       shown(run[i].mean) + per + ", " + shown(run[i].min) + " .. " + shown(run[i].max) + per);
    const std::pair<std::optional<double>, const char *> limits[] = {{low, "low"}, {high, "high"}};
    for (const auto &l : limits) {
        if (!l.first) continue;
        double p = y.at(*l.first);
        svg.line(left, p, right, p, "limit", attr("data-limit", l.second) + attr("data-value", exact(*l.first)));
    }
    svg.line(left, bottom, right, bottom, "axis");
    svg.text(left, bottom + 16, run.front().from.substr(0, 16) + "Z", "start", "tick");
    svg.text(right, bottom + 16, run.back().from.substr(0, 16) + "Z", "end", "tick");
    return svg.done();
}

}  // namespace report
