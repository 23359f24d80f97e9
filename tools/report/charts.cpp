// The report's charts; see charts.h.
#include "report/charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/svg.h"

namespace report {

namespace {

// About the width of a character of the charts' 11 px text, generously:
// what a label may hold is counted with it.
constexpr double kCharPx = 6.6;

std::string pct(double share) {
    char b[32];
    snprintf(b, sizeof b, "%.1f%%", 100.0 * share);
    return b;
}

std::string attr(const char *name, const std::string &value) {
    return std::string(" ") + name + "=\"" + escape(value) + "\"";
}

// Characters (not bytes) of UTF-8 text.
size_t chars(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

// The byte offset after the first n characters of s.
size_t bytesOf(const std::string &s, size_t n) {
    size_t i = 0;
    for (size_t k = 0; i < s.size() && k < n; k++) {
        i++;
        while (i < s.size() && ((unsigned char)s[i] & 0xC0) == 0x80) i++;
    }
    return i;
}

// Widens a value range so that the limits drawn on the chart fall inside it.
void takeInLimits(double &d0, double &d1, std::optional<double> low, std::optional<double> high) {
    for (auto l : {low, high})
        if (l) {
            d0 = std::min(d0, *l);
            d1 = std::max(d1, *l);
        }
}

// Vertical limit lines over [top, bottom], labelled above the chart: the
// low limit's label left of its line, the high one's right of it, turned
// near an edge; limits too close for two labels share one.
void limitLines(Svg &svg, const Scale &x, double top, double bottom, std::optional<double> low,
                std::optional<double> high) {
    const std::pair<std::optional<double>, const char *> limits[] = {{low, "low"}, {high, "high"}};
    for (const auto &l : limits)
        if (l.first)
            svg.line(x.at(*l.first), top - 6, x.at(*l.first), bottom, "limit",
                     attr("data-limit", l.second) + attr("data-value", exact(*l.first)));
    auto label = [&](double p, const std::string &text, bool preferLeft) {
        double room = (double)text.size() * kCharPx;
        bool left = preferLeft ? p - x.p0 > room || x.p1 - p < room : x.p1 - p < room;
        svg.text(left ? p - 3 : p + 3, top - 8, text, left ? "end" : "start", "limit-label");
    };
    std::string lo = low ? "LSL " + shown(*low) : "", hi = high ? "USL " + shown(*high) : "";
    if (low && high && std::fabs(x.at(*high) - x.at(*low)) < (double)(lo.size() + hi.size()) * kCharPx) {
        double mid = (x.at(*low) + x.at(*high)) / 2, room = (double)(lo.size() + hi.size() + 2) * kCharPx / 2;
        std::string both = lo + ", " + hi;
        if (mid - x.p0 < room) svg.text(x.p0, top - 8, both, "start", "limit-label");
        else if (x.p1 - mid < room) svg.text(x.p1, top - 8, both, "end", "limit-label");
        else svg.text(mid, top - 8, both, "middle", "limit-label");
        return;
    }
    if (low) label(x.at(*low), lo, true);
    if (high) label(x.at(*high), hi, false);
}

}  // namespace

std::vector<std::string> wrapText(const std::string &text, size_t maxChars, size_t maxLines) {
    std::vector<std::string> lines;
    std::string rest = text;
    maxChars = std::max<size_t>(maxChars, 8);
    while (!rest.empty()) {
        if (lines.size() + 1 == maxLines && chars(rest) > maxChars) {
            lines.push_back(rest.substr(0, bytesOf(rest, maxChars - 1)) + "\xE2\x80\xA6");
            break;
        }
        if (chars(rest) <= maxChars) {
            lines.push_back(rest);
            break;
        }
        size_t limit = bytesOf(rest, maxChars), cut = rest.rfind(' ', limit);
        // A separator (" · ") ends its line rather than starting the next.
        while (cut != std::string::npos && cut > 0 && rest.compare(cut + 1, 2, "\u00b7") == 0)
            cut = rest.rfind(' ', cut - 1);
        if (cut == std::string::npos || cut == 0) cut = limit;  // one long word: broken where it must be
        lines.push_back(rest.substr(0, cut));
        rest = rest.substr(cut);
        while (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    }
    return lines;
}

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
    // Room for a day's label under the first and the last bar.
    const double left = 44, right = width - 36, top = 22, bottom = height - 40;
    int64_t most = 1;
    for (const DayCounts &d : g.days) most = std::max(most, d.counts.records);
    std::vector<double> yt = countTicks((double)most);
    Scale y{0, std::max((double)most, yt.back()), bottom, top};
    svg.yAxis(y, left, right, yt);
    size_t n = g.days.size();
    double band = n ? (right - left) / (double)n : 0, bar = std::max(1.0, band * 0.8);
    size_t labelEvery = std::max<size_t>(1, (size_t)std::ceil(76.0 / std::max(band, 1.0)));
    for (size_t i = 0; i < n; i++) {
        const DayCounts &d = g.days[i];
        double x = left + band * (double)i + (band - bar) / 2;
        std::string title = d.day + (lastDay[i] != d.day ? " to " + lastDay[i] : std::string()) + ": " +
                            std::to_string(d.counts.records) + " records, " + std::to_string(d.counts.pass) +
                            " PASS, " + std::to_string(d.counts.fail) + " FAIL, " +
                            std::to_string(d.counts.error) + " ERROR, yield " + pct(d.counts.yield());
        svg.raw("<g class=\"day\"" + attr("data-day", d.day) + attr("data-records", std::to_string(d.counts.records)) +
                attr("data-pass", std::to_string(d.counts.pass)) + "><title>" + escape(title) + "</title>");
        double base = bottom;
        const std::pair<int64_t, const char *> parts[] = {
            {d.counts.pass, "pass"}, {d.counts.fail, "fail"}, {d.counts.error, "error"}};
        for (const auto &part : parts) {
            if (!part.first) continue;
            double h = bottom - y.at((double)part.first);
            svg.rect(x, base - h, bar, h, part.second);
            base -= h;
        }
        svg.raw("</g>");
        if (i % labelEvery == 0) svg.text(x + bar / 2, bottom + 15, d.day, "middle", "tick");
    }
    svg.line(left, bottom, right, bottom, "axis");
    svg.titles("day", "records", 4);  // the zone is named once, at the top of the page
    return svg.done();
}

std::string paretoChart(const ParetoReport &p, size_t maxBars) {
    size_t n = std::min(p.items.size(), maxBars);
    const int width = 860;
    const double left = 360, right = width - 40, top = 8, lineH = 13;
    const size_t labelChars = (size_t)((left - 12) / kCharPx);
    std::vector<std::vector<std::string>> labels;
    double height = top;
    for (size_t i = 0; i < n; i++) {
        labels.push_back(wrapText(p.items[i].label, labelChars, 3));
        height += (double)labels.back().size() * lineH + 8;
    }
    const double bottom = height;
    Svg svg(width, (int)bottom + 40, "chart pareto", "failures by measurement, most frequent first");
    int64_t most = n ? p.items[0].count : 1;
    std::vector<double> xt = countTicks((double)most, 6);
    Scale x{0, std::max((double)most, xt.back()), left, right};
    double rowTop = top;
    for (size_t i = 0; i < n; i++) {
        const ParetoItem &it = p.items[i];
        double rowH = (double)labels[i].size() * lineH + 8, barH = std::min(rowH - 6, 16.0);
        double by = rowTop + (rowH - barH) / 2;
        svg.raw("<g class=\"item\"" + attr("data-count", std::to_string(it.count)) +
                attr("data-fail", std::to_string(p.fail[i])) + attr("data-error", std::to_string(p.error[i])) +
                "><title>" + escape(it.label + ": " + std::to_string(p.fail[i]) + " FAIL, " +
                                    std::to_string(p.error[i]) + " ERROR (" + pct(it.share) + "), cumulative " +
                                    pct(it.cumulative)) + "</title>");
        double a = x.at(0), b = x.at((double)p.fail[i]), c = x.at((double)it.count);
        if (p.fail[i]) svg.rect(a, by, b - a, barH, "bar fail");
        if (p.error[i]) svg.rect(b, by, c - b, barH, "bar error");
        svg.raw("</g>");
        double ty = rowTop + 4 + lineH - 3;
        for (const std::string &l : labels[i]) {
            svg.text(left - 8, ty, l, "end", "tick");
            ty += lineH;
        }
        svg.text(c + 4, by + barH / 2 + 4, std::to_string(it.count), "start", "tick");
        rowTop += rowH;
    }
    svg.line(left, top, left, bottom, "axis");
    svg.xAxis(x, bottom, xt);
    svg.titles("steps that did not pass: FAIL, ERROR", "");
    return svg.done();
}

std::string histogramChart(const Histogram &h, std::optional<double> low, std::optional<double> high,
                           const std::string &label, const Axes &axes) {
    const int width = 420, height = 250;
    Svg svg(width, height, "chart histogram", label);
    const double left = 48, right = width - 24, top = 30, bottom = height - 40;
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
        svg.rect(a, y.at((double)h.counts[i]), std::max(0.0, b - a - 1), bottom - y.at((double)h.counts[i]), "bin",
                 attr("data-lo", lo) + attr("data-hi", hi) + attr("data-n", std::to_string(h.counts[i])),
                 shown(h.edge(i)) + " .. " + shown(h.edge(i + 1)) + ": " + std::to_string(h.counts[i]));
    }
    svg.xAxis(x, bottom, ticks(x.d0, x.d1, 5));
    limitLines(svg, x, top, bottom, low, high);
    svg.titles(axes.x, axes.y, 4);
    return svg.done();
}

std::string runChart(const std::vector<RunPoint> &run, std::optional<double> low, std::optional<double> high,
                     const std::string &label, const Axes &axes) {
    const int width = 420, height = 250;
    Svg svg(width, height, "chart run", label);
    const double left = 48, right = width - 24, top = 30, bottom = height - 40;
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
    double step = (right - left) / (double)run.size();
    std::vector<std::pair<double, double>> means;
    for (size_t i = 0; i < run.size(); i++) {
        const RunPoint &p = run[i];
        double cx = left + step * ((double)i + 0.5);
        if (p.max > p.min) svg.line(cx, y.at(p.min), cx, y.at(p.max), "range");
        means.emplace_back(cx, y.at(p.mean));
    }
    svg.polyline(means, "mean", attr("data-points", std::to_string(run.size())));
    // The points' own figures are in the statistics table; a title each
    // would double the page for nothing an engineer reads.
    for (size_t i = 0; i < run.size(); i++) svg.circle(means[i].first, means[i].second, 2.5, "mean");
    const std::pair<std::optional<double>, const char *> limits[] = {{low, "low"}, {high, "high"}};
    for (const auto &l : limits) {
        if (!l.first) continue;
        double p = y.at(*l.first);
        svg.line(left, p, right, p, "limit", attr("data-limit", l.second) + attr("data-value", exact(*l.first)));
    }
    svg.line(left, bottom, right, bottom, "axis");
    svg.text(left, bottom + 15, run.front().from, "start", "tick");
    if (run.size() > 1) svg.text(right, bottom + 15, run.back().from, "end", "tick");
    svg.titles(axes.x, axes.y, 4);
    return svg.done();
}

std::string calibrationChart(const PowerErrorReport &p, const std::string &label) {
    const int width = 420, height = 290;
    Svg svg(width, height, "chart calibration", label);
    const double left = 48, right = width - 24, top = 30, gap = 22, bottom = height - 40;
    const double panel = (bottom - top - gap) / 2;
    Histogram h;
    h.lo = p.binLo;
    h.width = p.binWidth;
    h.counts.assign((size_t)p.bins, 0);
    double d0 = p.bins ? h.lo : -1, d1 = p.bins ? h.hi() : 1;
    takeInLimits(d0, d1, p.low, p.high);
    double pad = (d1 - d0) * 0.04;
    Scale x{d0 - pad, d1 + pad, left, right};
    int64_t most = 1;
    for (const auto *bins : {&p.beforeBins, &p.afterBins})
        for (int64_t c : *bins) most = std::max(most, c);
    std::vector<double> yt = countTicks((double)most, 2);
    const std::pair<const std::vector<int64_t> *, const char *> panels[] = {{&p.beforeBins, "before"},
                                                                           {&p.afterBins, "after"}};
    for (size_t k = 0; k < 2; k++) {
        double pt = top + (double)k * (panel + gap), pb = pt + panel;
        Scale y{0, std::max((double)most, yt.back()), pb, pt};
        svg.yAxis(y, left, right, yt);
        svg.raw("<g class=\"" + std::string(panels[k].second) + "\">");
        for (size_t i = 0; i < panels[k].first->size(); i++) {
            int64_t c = (*panels[k].first)[i];
            double a = x.at(h.edge(i)), b = x.at(h.edge(i + 1));
            svg.rect(a, y.at((double)c), std::max(0.0, b - a - 1), pb - y.at((double)c), "bin",
                     attr("data-n", std::to_string(c)),
                     std::string(panels[k].second) + ": " + shown(h.edge(i)) + " .. " + shown(h.edge(i + 1)) +
                         " dB: " + std::to_string(c) + " points");
        }
        svg.raw("</g>");
        svg.line(left, pb, right, pb, "axis");
        svg.text(right - 2, pt + 12, k == 0 ? "before calibration" : "after (verify)", "end", "panel");
    }
    svg.xAxis(x, bottom, ticks(x.d0, x.d1, 5));
    limitLines(svg, x, top, bottom, p.low, p.high);
    svg.titles("power error (dB): measured \xE2\x88\x92 set", "points", 4);
    return svg.done();
}

std::string setPowerChart(const std::vector<BandSeries> &series, std::optional<double> low,
                          std::optional<double> high, const std::string &label) {
    const int width = 420, height = 250;
    Svg svg(width, height, "chart set-power", label);
    const double left = 48, right = width - 24, top = 30, bottom = height - 40;
    double s0 = 5, s1 = 21, e0 = 0, e1 = 0;
    for (const BandSeries &s : series)
        for (const Band &b : *s.bands) {
            s0 = std::min(s0, b.set);
            s1 = std::max(s1, b.set);
            e0 = std::min(e0, b.min);
            e1 = std::max(e1, b.max);
        }
    takeInLimits(e0, e1, low, high);
    double pad = std::max((e1 - e0) * 0.06, 0.05);
    Scale x{s0 - 1, s1 + 1, left, right}, y{e0 - pad, e1 + pad, bottom, top};
    svg.yAxis(y, left, right, ticks(y.d0, y.d1, 4));
    svg.xAxis(x, bottom, ticks(s0, s1, 4));
    for (auto l : {low, high})
        if (l) svg.line(left, y.at(*l), right, y.at(*l), "limit", attr("data-value", exact(*l)));
    double shift = series.size() > 1 ? 3 : 0;
    for (size_t k = 0; k < series.size(); k++) {
        const BandSeries &s = series[k];
        double dx = ((double)k - (double)(series.size() - 1) / 2) * shift;
        std::vector<std::pair<double, double>> means;
        svg.raw("<g class=\"" + s.name + "\">");
        for (const Band &b : *s.bands) {
            double cx = x.at(b.set) + dx;
            if (b.max > b.min) svg.line(cx, y.at(b.min), cx, y.at(b.max), "band");
            means.emplace_back(cx, y.at(b.mean));
            svg.circle(cx, y.at(b.mean), 3, "point",
                       s.name + " at " + shown(b.set) + " dBm: " + std::to_string(b.n) + " values, mean " +
                           shown(b.mean, 3) + " dB, " + shown(b.min, 3) + " .. " + shown(b.max, 3) + " dB");
        }
        // Means of several values make a trend; single points stay a scatter
        // (a first round's own powers: one value each).
        bool several = std::all_of(s.bands->begin(), s.bands->end(), [](const Band &b) { return b.n > 1; });
        if (means.size() > 1 && several) svg.polyline(means, "trend");
        svg.raw("</g>");
    }
    svg.titles("set power (dBm)", "power error (dB)", 4);
    return svg.done();
}

}  // namespace report
