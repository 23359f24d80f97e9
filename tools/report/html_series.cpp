// The HTML report's sections per measurement: limited values with their
// statistics and charts (worst Cpk first), flags as pass rates,
// calibration before and after, and the bookkeeping appendix; and the
// cells every section writes (html_parts.h).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

#include "report/charts.h"
#include "report/html_parts.h"
#include "report/svg.h"
#include "station/measures.h"

namespace report::page {

using station::MeasureKind;

std::string pct(double share) {
    char b[32];
    snprintf(b, sizeof b, "%.1f%%", 100.0 * share);
    return b;
}

std::string num(int64_t v) { return std::to_string(v); }

std::string td(const std::string &text, bool number) {
    return number ? "<td class=\"num\">" + escape(text) + "</td>" : "<td>" + escape(text) + "</td>";
}

std::string th(const std::string &html, bool number) {
    return number ? "<th class=\"num\">" + html + "</th>" : "<th>" + html + "</th>";
}

std::string scrolling(const std::string &table) { return "<div class=\"scroll\">" + table + "</div>"; }

std::string seriesName(const SeriesKey &k) {
    return k.plan + " \u00b7 line " + std::to_string(k.line) + " \u00b7 " + k.command + " \u00b7 " + k.name;
}

std::string cpkText(const SeriesReport &s) {
    if (!s.cpk) return "\xE2\x80\x94";
    char b[32];
    snprintf(b, sizeof b, "%.2f", *s.cpk);
    return b;
}

std::string seriesAnchor(size_t index) { return "m" + std::to_string(index); }

std::string withUnitTitle(const std::string &name, const std::string &unit) {
    return unit.empty() ? name : name + " (" + unit + ")";
}

namespace {

// A limit as its records hold it, at the measurement's resolution.
std::string limitText(const SeriesReport &s, const std::optional<double> &v) {
    return v ? station::measureNumber(s.key.name, *v) : "\xE2\x80\x94";
}

// A figure of the measurement at its resolution (a mean or a spread one
// digit finer); the column's header names the unit.
std::string figure(const SeriesReport &s, double v, int extraDecimals = 0) {
    return station::measureNumber(s.key.name, v, extraDecimals);
}

std::string statsTable(const SeriesReport &s) {
    const std::string u = s.unit.empty() ? "" : " (" + escape(s.unit) + ")";
    bool low = s.cpk && *s.cpk < kCpkTarget;
    std::string cpk = s.cpk ? escape(cpkText(s))
                            : "\xE2\x80\x94 <span class=\"why\">" + escape(s.noCpk) + "</span>";
    return scrolling("<table class=\"stats\"><tr>" + th("n", true) + th("mean" + u, true) +
                     th("&sigma;" + u, true) + th("min" + u, true) + th("max" + u, true) +
                     th("low limit" + u, true) + th("high limit" + u, true) + th("Cpk", true) +
                     th("outside limits", true) + "</tr><tr>" + td(num(s.summary.n), true) +
                     td(figure(s, s.summary.mean, 1), true) + td(figure(s, s.summary.sigma, 1), true) +
                     td(figure(s, s.summary.min), true) + td(figure(s, s.summary.max), true) +
                     td(limitText(s, s.low), true) + td(limitText(s, s.high), true) + "<td class=\"num cpk" +
                     std::string(low ? " low" : "") + "\">" + cpk + "</td>" + td(num(s.failed), true) +
                     "</tr></table>");
}

std::string seriesSection(const SeriesReport &s, size_t index) {
    std::string name = seriesName(s.key);
    std::string o = "<div class=\"measurement\" id=\"" + seriesAnchor(index) + "\" data-plan=\"" +
                    escape(s.key.plan) + "\" data-line=\"" + num(s.key.line) + "\" data-command=\"" +
                    escape(s.key.command) + "\" data-name=\"" + escape(s.key.name) + "\" data-n=\"" +
                    num(s.summary.n) + "\" data-mean=\"" + exact(s.summary.mean) + "\" data-sigma=\"" +
                    exact(s.summary.sigma) + "\"" + (s.cpk ? " data-cpk=\"" + exact(*s.cpk) + "\"" : std::string()) +
                    (s.low ? " data-low=\"" + exact(*s.low) + "\"" : std::string()) +
                    (s.high ? " data-high=\"" + exact(*s.high) + "\"" : std::string()) + ">";
    o += "<h3>" + escape(withUnitTitle(s.key.name, s.unit)) + " <span class=\"meta\">" + escape(s.key.plan) +
         ", line " + num(s.key.line) + ", " + escape(s.key.command) + "</span></h3>" + statsTable(s);
    if (s.notFinite)
        o += "<p class=\"meta\">" + num(s.notFinite) +
             " values are not numbers (NaN or infinite): counted as outside the limits, left out of the "
             "figures above.</p>";
    if (s.limitSets > 1)
        o += "<p class=\"meta\">The limits changed over these records (" + num(s.limitSets) +
             " different sets); lines and Cpk use the newest record's.</p>";
    std::string axis = withUnitTitle(s.key.name, s.unit);
    o += "<div class=\"charts\">" + histogramChart(s.histogram, s.low, s.high, "histogram of " + name, {axis, "records"}) +
         runChart(s.run, s.low, s.high, "run chart of " + name, {"record start (mean of consecutive records)", axis}) +
         "</div></div>";
    return o;
}

}  // namespace

namespace {

// A patterned measurement's name without its number ("verify_error_8" ->
// "verify_error"), or "" for a plain name.
std::string patternBase(const std::string &name) {
    size_t u = name.rfind('_');
    if (u == std::string::npos || u == 0 || u + 1 == name.size()) return "";
    char *end = nullptr;
    strtod(name.c_str() + u + 1, &end);
    return *end == 0 ? name.substr(0, u) : "";
}

// The values one patterned measurement holds per set power (a pa-cal
// verify, a sweep): one row each, their chart the calibration section's
// or the step's series' against set power.  A histogram and a run chart for each point
// would be most of the page and say less than that chart.
std::string familySection(const Report &r, const std::vector<size_t> &members, const std::string &base) {
    const SeriesReport &f = r.series[members[0]];
    std::string u = f.unit.empty() ? "" : " (" + escape(f.unit) + ")";
    std::string o = "<div class=\"measurement family\" id=\"fam-" + seriesAnchor(members[0]) + "\"><h3>" +
                    escape(withUnitTitle(base + "_<dBm>", f.unit)) + " <span class=\"meta\">" + escape(f.key.plan) +
                    ", line " + num(f.key.line) + ", " + escape(f.key.command) + "</span></h3><p class=\"meta\">"
                    "One row per set power; drawn against set power under <a href=\"#calibration\">Calibration</a>."
                    "</p>";
    std::string t = "<table class=\"stats\"><tr>" + th("set power") + th("n", true) + th("mean" + u, true) +
                    th("&sigma;" + u, true) + th("min" + u, true) + th("max" + u, true) + th("low limit" + u, true) +
                    th("high limit" + u, true) + th("Cpk", true) + th("outside limits", true) + "</tr>";
    for (size_t i : members) {
        const SeriesReport &s = r.series[i];
        bool low = s.cpk && *s.cpk < kCpkTarget;
        t += "<tr class=\"member\" id=\"" + seriesAnchor(i) + "\" data-name=\"" + escape(s.key.name) +
             "\" data-n=\"" + num(s.summary.n) + "\"" + (s.cpk ? " data-cpk=\"" + exact(*s.cpk) + "\"" : std::string()) +
             ">" + td(s.key.name.substr(base.size() + 1) + " dBm") + td(num(s.summary.n), true) +
             td(figure(s, s.summary.mean, 1), true) + td(figure(s, s.summary.sigma, 1), true) +
             td(figure(s, s.summary.min), true) + td(figure(s, s.summary.max), true) +
             td(limitText(s, s.low), true) + td(limitText(s, s.high), true) + "<td class=\"num cpk" +
             std::string(low ? " low" : "") + "\">" +
             (s.cpk ? escape(cpkText(s)) : "\xE2\x80\x94 <span class=\"why\">" + escape(s.noCpk) + "</span>") +
             "</td>" + td(num(s.failed), true) + "</tr>";
    }
    return o + scrolling(t + "</table>") + "</div>";
}

}  // namespace

std::string measurementsSection(const Report &r) {
    std::string o = "<h2 id=\"measurements\">Measurements</h2>\n";
    // Patterned names of one step go together, where their worst one is.
    std::map<std::tuple<std::string, int, std::string, std::string>, std::vector<size_t>> families;
    for (size_t i = 0; i < r.series.size(); i++) {
        const SeriesReport &s = r.series[i];
        std::string base = patternBase(s.key.name);
        if (s.kind == MeasureKind::Limited && !base.empty())
            families[{s.key.plan, s.key.line, s.key.command, base}].push_back(i);
    }
    std::string body;
    for (size_t i = 0; i < r.series.size(); i++) {
        const SeriesReport &s = r.series[i];
        if (s.kind != MeasureKind::Limited) continue;
        std::string base = patternBase(s.key.name);
        if (base.empty()) {
            body += seriesSection(s, i) + "\n";
            continue;
        }
        const std::vector<size_t> &members = families[{s.key.plan, s.key.line, s.key.command, base}];
        if (members[0] == i) body += familySection(r, members, base) + "\n";
    }
    if (body.empty()) return o + "<p>No measured values in these records.</p>\n";
    return o + "<p class=\"meta\">Values with limits, the least capable first. Cpk from the newest record's "
               "limits and the sample standard deviation; below " + shown(kCpkTarget) +
           " in red; none (\xE2\x80\x94) without limits, with one value or without spread. Run charts: means of "
           "consecutive records, oldest first, with their range.</p>\n" + body;
}

namespace {

// A flag a limit holds to (pa-cal's "bounds" >= 1) is a check; one without
// (a point "verify" or not) only tells what happened, and is bookkeeping.
bool isCheck(const SeriesReport &s) { return s.kind == MeasureKind::Flag && (s.low || s.high); }

}  // namespace

std::string flagsSection(const Report &r) {
    std::string rows;
    for (size_t i = 0; i < r.series.size(); i++) {
        const SeriesReport &s = r.series[i];
        if (!isCheck(s)) continue;
        int64_t n = s.summary.n + s.notFinite;
        rows += "<tr id=\"" + seriesAnchor(i) + "\" class=\"flag\">" + td(seriesName(s.key)) + td(num(n), true) +
                td(num(s.held), true) + td(num(n - s.held), true) +
                "<td class=\"num" + std::string(s.held < n ? " low" : "") + "\">" +
                pct(n ? (double)s.held / (double)n : 0) + "</td></tr>";
    }
    if (rows.empty()) return "";
    return "<h2 id=\"checks\">Checks</h2>\n<p class=\"meta\">Flags a step records: 1 when the check held. A share, "
           "not a spread: no Cpk.</p>\n" +
           scrolling("<table id=\"t-flags\"><tr>" + th("step \u00b7 check") + th("records", true) +
                     th("held", true) + th("failed", true) + th("pass rate", true) + "</tr>" + rows + "</table>") +
           "\n";
}

std::string appendixSection(const Report &r) {
    std::string rows;
    size_t n = 0;
    for (size_t i = 0; i < r.series.size(); i++) {
        const SeriesReport &s = r.series[i];
        if (s.kind == MeasureKind::Limited || isCheck(s)) continue;
        n++;
        rows += "<tr id=\"" + seriesAnchor(i) + "\">" + td(seriesName(s.key)) + td(s.unit) +
                td(num(s.summary.n), true) + td(figure(s, s.summary.mean, 1), true) +
                td(figure(s, s.summary.min), true) + td(figure(s, s.summary.max), true) + "</tr>";
    }
    if (rows.empty()) return "";
    return "<h2 id=\"bookkeeping\">Appendix</h2>\n<details id=\"appendix\"><summary>Bookkeeping: " + num((int64_t)n) +
           " figures the results rest on (rounds, codes, waits, losses, flags without a limit)</summary>\n" +
           scrolling("<table id=\"t-bookkeeping\"><tr>" + th("step \u00b7 figure") + th("unit") + th("n", true) +
                     th("mean", true) + th("min", true) + th("max", true) + "</tr>" + rows + "</table>") +
           "</details>\n";
}

}  // namespace report::page
