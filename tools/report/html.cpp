// The HTML report's page writer; see html.h.  Every text that comes from
// records (plans, serials, stations, operators, metadata, step and
// measurement names) goes through escape().
#include "report/html.h"

#include <cmath>
#include <cstdio>

#include "report/charts.h"
#include "report/golden.h"
#include "report/step_series.h"
#include "report/html_parts.h"
#include "report/svg.h"
#include "station/measures.h"

namespace report {

using namespace page;

namespace {

const char kStyle[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:16px;color:#222;max-width:1400px}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:16px 0 4px}
h1,h2,h3,p,td,summary,.meta{overflow-wrap:anywhere}
.meta{color:#555;margin:2px 0}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;margin:6px 0}
th,td{padding:3px 8px;border-bottom:1px solid #e4e4e4;text-align:left;vertical-align:top}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
td.num{white-space:nowrap}
.kpis{display:flex;gap:10px;flex-wrap:wrap}
.kpi{border:1px solid #ddd;border-radius:6px;padding:6px 12px;min-width:110px}
.kpi .v{font-size:22px;font-weight:600}
.kpi .l{color:#555;font-size:12px}
.first{display:grid;grid-template-columns:repeat(auto-fit,minmax(min(100%,400px),1fr));gap:12px;margin-top:10px}
.box{border:1px solid #ddd;border-radius:6px;padding:4px 10px;min-width:0}
.box h2{font-size:15px;margin:4px 0;border:0}
.box table{width:100%;font-size:13px}
.low{color:#c62828;font-weight:600}
.why{color:#555;font-size:12px}
.empty{font-size:16px;padding:16px;border:1px solid #ddd;background:#fafafa}
.charts{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,380px),1fr));gap:12px}
.measurement{border:1px solid #e0e0e0;border-radius:6px;padding:8px 12px;margin:10px 0;min-width:0}
svg{background:#fff;height:auto;display:block}
svg text{font-size:11px;fill:#333}
svg text.axis-title{fill:#555;font-style:italic}
.axis{stroke:#888;stroke-width:1}.grid{stroke:#eee;stroke-width:1}
.pass{fill:#2e7d32}.fail{fill:#c62828}.error{fill:#ef6c00}
.bin{fill:#4a7bb7}.before .bin{fill:#b0892e}
.limit{stroke:#c62828;stroke-width:2;stroke-dasharray:5 3}
text.limit-label{fill:#c62828}
polyline.mean,polyline.trend{fill:none;stroke:#333;stroke-width:1.5}
circle.mean{fill:#333}
.range{stroke:#9bb5d8;stroke-width:3}
.before .band{stroke:#d9bf80;stroke-width:4}.after .band{stroke:#9bb5d8;stroke-width:4}
.before circle{fill:#b0892e}.after circle{fill:#2f5f9e}
.before polyline.trend{stroke:#b0892e}.after polyline.trend{stroke:#2f5f9e}
polyline.unit{fill:none;stroke:#b8c4cf;stroke-width:1}
.g0 .band{stroke:#9bb5d8;stroke-width:4}.g0 circle{fill:#2f5f9e}.g0 polyline.trend{stroke:#2f5f9e}
.g1 .band{stroke:#d9bf80;stroke-width:4}.g1 circle{fill:#b0892e}.g1 polyline.trend{stroke:#b0892e}
.g2 .band{stroke:#a8d5a2;stroke-width:4}.g2 circle{fill:#3b7a35}.g2 polyline.trend{stroke:#3b7a35}
.g3 .band{stroke:#d8a8c8;stroke-width:4}.g3 circle{fill:#8a3b6e}.g3 polyline.trend{stroke:#8a3b6e}
.legend span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}
)";

std::string kpi(const std::string &id, const std::string &label, const std::string &value,
                const std::string &exactValue) {
    return "<div class=\"kpi\" id=\"" + id + "\" data-value=\"" + escape(exactValue) + "\"><div class=\"v\">" +
           escape(value) + "</div><div class=\"l\">" + escape(label) + "</div></div>";
}

std::string legend() {
    return "<p class=\"legend\"><span style=\"background:#2e7d32\"></span>PASS<span style=\"background:#c62828\">"
           "</span>FAIL<span style=\"background:#ef6c00\"></span>ERROR</p>\n";
}

std::string yieldTable(const std::vector<YieldGroup> &groups, const std::string &what, const std::string &id) {
    std::string o = "<table id=\"" + id + "\"><tr>" + th(what) + th("records", true) + th("units", true) +
                    th("PASS", true) + th("FAIL", true) + th("ERROR", true) + th("yield", true) +
                    th("first-pass yield", true) + th("final yield", true) + th("retests", true) + "</tr>";
    for (const YieldGroup &g : groups) {
        o += "<tr data-name=\"" + escape(g.name) + "\">" + td(g.name) + td(num(g.counts.records), true) +
             td(num(g.pass.units), true) + td(num(g.counts.pass), true) + td(num(g.counts.fail), true) +
             td(num(g.counts.error), true) + td(pct(g.counts.yield()), true) +
             td(pct(g.pass.firstPassYield()), true) + td(pct(g.pass.finalYield()), true) +
             td(num(g.pass.retests), true) + "</tr>";
    }
    return scrolling(o + "</table>");
}

std::string shareTable(const std::vector<ShareRow> &rows, const std::string &what, const std::string &id) {
    std::string o = "<table id=\"" + id + "\"><tr>" + th(what) + th("records", true) + th("PASS", true) +
                    th("FAIL", true) + th("ERROR", true) + th("yield", true) + "</tr>";
    for (const ShareRow &r : rows)
        o += "<tr>" + td(r.name.empty() ? "(none)" : r.name) + td(num(r.counts.records), true) +
             td(num(r.counts.pass), true) + td(num(r.counts.fail), true) + td(num(r.counts.error), true) +
             td(pct(r.counts.yield()), true) + "</tr>";
    return scrolling(o + "</table>");
}

// ---- the header and the yield figures, the top of the first screen
std::string header(const Report &r) {
    const Counts &c = r.overall.counts;
    const PassYield &py = r.overall.pass;
    std::string o = "<p class=\"meta\" id=\"span\">" + num(c.records) + " records of " + num(py.units) +
                    " units, started " + escape(r.firstStart) + " to " + escape(r.lastStart) + "</p>\n";
    o += "<div class=\"kpis\" id=\"kpis\">";
    o += kpi("k-yield", "yield (PASS / records)", pct(c.yield()), exact(c.yield()));
    o += kpi("k-fpy", "first-pass yield (first record of each unit)", pct(py.firstPassYield()),
             exact(py.firstPassYield()));
    o += kpi("k-units", "units tested (serials)", num(py.units), num(py.units));
    o += kpi("k-records", "records", num(c.records), num(c.records));
    o += kpi("k-final", "final yield (last record of each unit)", pct(py.finalYield()), exact(py.finalYield()));
    o += kpi("k-retests", "retests (records after a unit's first)", num(py.retests), num(py.retests));
    return o + "</div>\n";
}

std::string yieldSection(const Report &r) {
    std::string o = "<h2 id=\"yield\">Yield</h2>\n<h3>Records per day</h3>\n" + legend();
    o += "<div id=\"days-all\">" + dayChart(r.overall, 960, 250) + "</div>\n";
    for (const auto *groups : {&r.plans, &r.stations}) {
        if (groups->size() < 2) continue;
        std::string what = groups == &r.plans ? "plan" : "station";
        o += "<h3>Per " + what + "</h3>\n";
        // A factory's hundreds of stations would make the page of little
        // charts nobody reads: beyond a screenful their table says it.
        if (groups->size() > kMaxGroupCharts) {
            o += "<p class=\"meta\" id=\"per-" + what + "\">" + num((int64_t)groups->size()) + " " + what +
                 "s: their yields are in the table By " + what + " below.</p>\n";
            continue;
        }
        o += "<div class=\"charts\">";
        for (const YieldGroup &g : *groups)
            o += "<div><div class=\"meta\">" + escape(g.name) + "</div>" + dayChart(g, 470, 200) + "</div>";
        o += "</div>\n";
    }
    o += "<h3>By plan</h3>\n" + yieldTable(r.plans, "plan", "t-plans") + "\n";
    return o + "<h3>By station</h3>\n" + yieldTable(r.stations, "station", "t-stations") + "\n";
}

std::string failuresSection(const Report &r) {
    std::string o = "<h2 id=\"failures\">Failures by measurement</h2>\n";
    if (r.failures.items.empty()) return o + "<p>No step failed or erred.</p>\n";
    const size_t kBars = 20;
    o += "<p class=\"meta\">" + num(r.failures.steps) +
         " steps ended FAIL or ERROR. Each failing measurement of a step counts; a step that failed without "
         "one (an ERROR, mostly) counts as the step. Most frequent first" +
         (r.failures.items.size() > kBars ? " (the chart shows the first " + num(kBars) + ")" : "") + ".</p>\n";
    o += "<p class=\"legend\"><span style=\"background:#c62828\"></span>FAIL<span style=\"background:#ef6c00\">"
         "</span>ERROR</p>\n" + paretoChart(r.failures, kBars);
    std::string t = "<table id=\"t-pareto\"><tr>" + th("step \u00b7 measurement") + th("FAIL", true) + th("ERROR", true) +
         th("share", true) + th("cumulative", true) + "</tr>";
    for (size_t i = 0; i < r.failures.items.size(); i++) {
        const ParetoItem &it = r.failures.items[i];
        int s = r.failures.series[i];
        std::string name = s < 0 ? escape(it.label)
                                 : "<a href=\"#" + seriesAnchor((size_t)s) + "\">" + escape(it.label) + "</a>";
        t += "<tr id=\"f" + num((int64_t)i) + "\"><td>" + name + "</td>" + td(num(r.failures.fail[i]), true) +
             td(num(r.failures.error[i]), true) + td(pct(it.share), true) + td(pct(it.cumulative), true) + "</tr>";
    }
    return o + "\n" + scrolling(t + "</table>") + "\n";
}

std::string cycleSection(const Report &r) {
    std::string o = "<h2 id=\"cycle\">Cycle time per plan</h2>\n<table id=\"t-cycle\"><tr>" + th("plan") +
                    th("records", true) + th("mean (s)", true) + th("median (s)", true) + th("90% (s)", true) +
                    th("min (s)", true) + th("max (s)", true) + "</tr>";
    for (const CycleReport &cr : r.cycles)
        o += "<tr>" + td(cr.plan) + td(num(cr.summary.n), true) + td(shown(cr.summary.mean, 4), true) +
             td(shown(cr.median, 4), true) + td(shown(cr.p90, 4), true) + td(shown(cr.summary.min, 4), true) +
             td(shown(cr.summary.max, 4), true) + "</tr>";
    o = scrolling(o + "</table>") + "\n<div class=\"charts\">";
    for (const CycleReport &cr : r.cycles)
        o += "<div class=\"cycle\"><div class=\"meta\">" + escape(cr.plan) + "</div>" +
             histogramChart(cr.histogram, std::nullopt, std::nullopt, "cycle time of " + cr.plan,
                            {"cycle time (s)", "records"}) +
             (cr.beyond ? "<div class=\"meta\">and " + num(cr.beyond) + " longer than " + shown(cr.fence, 4) +
                              " s (up to " + shown(cr.summary.max, 4) + " s), not drawn</div>"
                        : std::string()) +
             "</div>";
    return o + "</div>\n";
}

std::string testerWaitSection(const Report &r) {
    if (r.testerWaits.empty()) return "";
    std::string o = "<h2 id=\"tester-wait\">Tester wait per plan</h2>\n<p class=\"meta\">How long units waited "
                    "for the tester they share, per tester step (tester_wait_ms).</p>\n"
                    "<table id=\"t-tester-wait\"><tr>" + th("plan") + th("steps", true) + th("median (ms)", true) +
                    th("99% (ms)", true) + th("max (ms)", true) + "</tr>";
    auto wait = [](double ms) { return station::measureNumber("tester_wait_ms", ms); };
    for (const Distribution &w : r.testerWaits)
        o += "<tr>" + td(w.name) + td(num(w.summary.n), true) + td(wait(w.median), true) + td(wait(w.p99), true) +
             td(wait(w.summary.max), true) + "</tr>";
    o = scrolling(o + "</table>") + "\n<div class=\"charts\">";
    for (const Distribution &w : r.testerWaits)
        o += "<div class=\"tester-wait\"><div class=\"meta\">" + escape(w.name) + "</div>" +
             histogramChart(w.histogram, std::nullopt, std::nullopt, "tester wait of " + w.name,
                            {"tester wait (ms)", "steps"}) +
             "</div>";
    return o + "</div>\n";
}

std::string peopleSection(const Report &r) {
    std::string o = "<h2 id=\"people\">Operators and metadata</h2>\n" +
                    shareTable(r.operators, "operator", "t-operators") + "\n";
    for (const MetadataReport &m : r.metadata) {
        o += "<h3>" + escape(m.key) + "</h3>\n" + shareTable(m.values, escape(m.key), "t-meta-" + escape(m.key)) + "\n";
        if (m.otherValues) o += "<p class=\"meta\">and " + num(m.otherValues) + " more values with fewer records.</p>\n";
    }
    if (r.otherMetadataKeys) o += "<p class=\"meta\">and " + num(r.otherMetadataKeys) + " more metadata keys.</p>\n";
    return o;
}

// The page's sections after the first screen, in order.  Each writes its
// own heading (with the anchor the first screen links to) or nothing.
// The golden unit's checks per port (report/golden.h), where there are any.
std::string goldenChecksSection(const Report &r) { return goldenSection(r.golden); }
// Each step's series as the step declares them (report/step_series.h).
std::string stepSeriesPart(const Report &r) { return stepSeriesSection(r.stepSeries); }

std::string (*const kSections[])(const Report &) = {
    yieldSection,      failuresSection, measurementsSection, flagsSection, calibrationSection,
    stepSeriesPart,    goldenChecksSection, testerWaitSection, cycleSection, peopleSection, appendixSection,
};

}  // namespace

std::string htmlPage(const Report &r) {
    std::string o;
    o.reserve(1 << 16);
    o += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<title>rfprobe report</title>\n<style>";
    o += kStyle;
    o += "</style></head>\n<body>\n<h1>rfprobe report</h1>\n";
    std::string filters;
    for (const std::string &f : r.filters) filters += (filters.empty() ? "" : ", ") + f;
    o += "<p class=\"meta\" id=\"zone\">Times and days in the time zone " + escape(r.zone) + "</p>\n";
    o += "<p class=\"meta\" id=\"filters\">Records: " +
         (filters.empty() ? std::string("all in the store") : "those matching " + escape(filters)) + "</p>\n";
    for (const std::string &a : r.archived) o += "<p class=\"meta archived\">Note: " + escape(a) + "</p>\n";
    if (r.overall.counts.records == 0) {
        o += std::string("<p class=\"empty\" id=\"empty\">") +
             (filters.empty() ? "The store holds no records yet." : "No records match these filters.") +
             "</p>\n</body></html>\n";
        return o;
    }
    o += header(r) + firstScreen(r);
    for (auto section : kSections) o += section(r);
    o += "</body></html>\n";
    return o;
}

}  // namespace report
