// The HTML report's page writer; see html.h.  Every text that comes from
// records (plans, serials, stations, operators, metadata, step and
// measurement names) goes through escape().
#include "report/html.h"

#include <cmath>
#include <cstdio>

#include "report/charts.h"
#include "report/golden.h"
#include "report/svg.h"
#include "station/measures.h"

namespace report {

namespace {

const char kStyle[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;max-width:1400px}
h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}
h3{font-size:15px;margin:16px 0 4px}
.meta{color:#555;margin:2px 0}
table{border-collapse:collapse;margin:6px 0}
th,td{padding:3px 10px;border-bottom:1px solid #e4e4e4;text-align:left}
td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
.kpis{display:flex;gap:16px;flex-wrap:wrap}
.kpi{border:1px solid #ddd;border-radius:6px;padding:8px 14px;min-width:130px}
.kpi .v{font-size:22px;font-weight:600}
.kpi .l{color:#555;font-size:12px}
.low{color:#c62828;font-weight:600}
.empty{font-size:16px;padding:16px;border:1px solid #ddd;background:#fafafa}
.charts{display:flex;flex-wrap:wrap;gap:12px}
.measurement{border:1px solid #e0e0e0;border-radius:6px;padding:8px 12px;margin:10px 0}
svg{background:#fff}
svg text{font-size:11px;fill:#333}
.axis{stroke:#888;stroke-width:1}.grid{stroke:#eee;stroke-width:1}
.pass{fill:#2e7d32}.fail{fill:#c62828}.error{fill:#ef6c00}
.bar,.bin{fill:#4a7bb7}
.limit{stroke:#c62828;stroke-width:2;stroke-dasharray:5 3}
text.limit-label{fill:#c62828}
polyline.cumulative,polyline.mean{fill:none;stroke:#333;stroke-width:1.5}
circle.cumulative,circle.mean{fill:#333}
.range{stroke:#9bb5d8;stroke-width:3}
.legend span{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px}
)";

std::string pct(double share) {
    char b[32];
    snprintf(b, sizeof b, "%.1f%%", 100.0 * share);
    return b;
}

std::string num(int64_t v) { return std::to_string(v); }

std::string td(const std::string &text, bool number = false) {
    return number ? "<td class=\"num\">" + escape(text) + "</td>" : "<td>" + escape(text) + "</td>";
}

std::string th(const std::string &text, bool number = false) {
    return number ? "<th class=\"num\">" + text + "</th>" : "<th>" + text + "</th>";
}

std::string kpi(const std::string &id, const std::string &label, const std::string &value,
                const std::string &exactValue) {
    return "<div class=\"kpi\" id=\"" + id + "\" data-value=\"" + escape(exactValue) + "\"><div class=\"v\">" +
           escape(value) + "</div><div class=\"l\">" + escape(label) + "</div></div>";
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
    return o + "</table>";
}

std::string shareTable(const std::vector<ShareRow> &rows, const std::string &what, const std::string &id) {
    std::string o = "<table id=\"" + id + "\"><tr>" + th(what) + th("records", true) + th("PASS", true) +
                    th("FAIL", true) + th("ERROR", true) + th("yield", true) + "</tr>";
    for (const ShareRow &r : rows)
        o += "<tr>" + td(r.name.empty() ? "(none)" : r.name) + td(num(r.counts.records), true) +
             td(num(r.counts.pass), true) + td(num(r.counts.fail), true) + td(num(r.counts.error), true) +
             td(pct(r.counts.yield()), true) + "</tr>";
    return o + "</table>";
}

// A limit as its records hold it, with the measurement's unit.
std::string limitText(const std::string &name, const std::optional<double> &v) {
    return v ? station::withUnit(name, shown(*v)) : "\xE2\x80\x94";
}

// A figure of the measurement `name` at its resolution with its unit; a
// mean or a spread one digit finer.
std::string figure(const std::string &name, double v, int extraDecimals = 0) {
    return station::measureText(name, v, extraDecimals);
}

// The tester waits and the power errors at the resolution of what they
// come from; the column's header names the unit.
std::string wait(double ms) { return station::measureNumber("tester_wait_ms", ms); }
std::string dB(double v) { return station::measureNumber("verify_error", v); }

std::string seriesSection(const SeriesReport &s, size_t index) {
    std::string name = s.key.plan + " \u00b7 line " + std::to_string(s.key.line) + " \u00b7 " + s.key.command +
                       " \u00b7 " + s.key.name;
    std::string cpkText = s.cpk ? (std::isinf(*s.cpk) ? shown(*s.cpk) : [&] {
        char b[32];
        snprintf(b, sizeof b, "%.2f", *s.cpk);
        return std::string(b);
    }()) : "\xE2\x80\x94";
    bool low = s.cpk && *s.cpk < kCpkTarget;
    std::string o = "<div class=\"measurement\" id=\"m" + num((int64_t)index) + "\"" +
                    " data-plan=\"" + escape(s.key.plan) + "\" data-line=\"" + num(s.key.line) +
                    "\" data-command=\"" + escape(s.key.command) + "\" data-name=\"" + escape(s.key.name) +
                    "\" data-n=\"" + num(s.summary.n) + "\" data-mean=\"" + exact(s.summary.mean) +
                    "\" data-sigma=\"" + exact(s.summary.sigma) + "\"" +
                    (s.cpk ? " data-cpk=\"" + exact(*s.cpk) + "\"" : std::string()) +
                    (s.low ? " data-low=\"" + exact(*s.low) + "\"" : std::string()) +
                    (s.high ? " data-high=\"" + exact(*s.high) + "\"" : std::string()) + ">";
    o += "<h3>" + escape(s.key.name) + " <span class=\"meta\">" + escape(s.key.plan) + ", line " +
         num(s.key.line) + ", " + escape(s.key.command) + "</span></h3>";
    o += "<table class=\"stats\"><tr>" + th("n", true) + th("mean", true) + th("&sigma;", true) +
         th("min", true) + th("max", true) + th("low limit", true) + th("high limit", true) +
         th("Cpk", true) + th("outside limits", true) + "</tr><tr>" + td(num(s.summary.n), true) +
         td(figure(s.key.name, s.summary.mean, 1), true) + td(figure(s.key.name, s.summary.sigma, 1), true) +
         td(figure(s.key.name, s.summary.min), true) + td(figure(s.key.name, s.summary.max), true) +
         td(limitText(s.key.name, s.low), true) + td(limitText(s.key.name, s.high), true) +
         "<td class=\"num cpk" + std::string(low ? " low" : "") + "\">" + escape(cpkText) + "</td>" +
         td(num(s.failed), true) + "</tr></table>";
    if (s.notFinite)
        o += "<p class=\"meta\">" + num(s.notFinite) +
             " values are not numbers (NaN or infinite): counted as outside the limits, left out of the "
             "figures above.</p>";
    if (s.limitSets > 1)
        o += "<p class=\"meta\">The limits changed over these records (" + num(s.limitSets) +
             " different sets); lines and Cpk use the newest record's.</p>";
    std::string unit = station::measureInfo(s.key.name).unit;
    o += "<div class=\"charts\">" + histogramChart(s.histogram, s.low, s.high, "histogram of " + name, unit) +
         runChart(s.run, s.low, s.high, "run chart of " + name, unit) + "</div></div>";
    return o;
}

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
    const Counts &c = r.overall.counts;
    std::string filters;
    for (const std::string &f : r.filters) filters += (filters.empty() ? "" : ", ") + f;
    o += "<p class=\"meta\" id=\"zone\">Days in the time zone " + escape(r.zone) + "</p>\n";
    o += "<p class=\"meta\" id=\"filters\">Records: " +
         (filters.empty() ? std::string("all in the store") : "those matching " + escape(filters)) + "</p>\n";
    if (c.records == 0) {
        o += std::string("<p class=\"empty\" id=\"empty\">") +
             (filters.empty() ? "The store holds no records yet." : "No records match these filters.") +
             "</p>\n</body></html>\n";
        return o;
    }
    o += "<p class=\"meta\" id=\"span\">" + num(c.records) + " records of " + num(r.overall.pass.units) +
         " units, started " + escape(r.firstStart) + " to " + escape(r.lastStart) + " (UTC)</p>\n";

    // ---- yield
    const PassYield &py = r.overall.pass;
    o += "<h2 id=\"yield\">Yield</h2>\n<div class=\"kpis\">";
    o += kpi("k-records", "records", num(c.records), num(c.records));
    o += kpi("k-units", "units (serials)", num(py.units), num(py.units));
    o += kpi("k-yield", "yield (PASS / records)", pct(c.yield()), exact(c.yield()));
    o += kpi("k-fpy", "first-pass yield (first record of each unit)", pct(py.firstPassYield()),
             exact(py.firstPassYield()));
    o += kpi("k-final", "final yield (last record of each unit)", pct(py.finalYield()), exact(py.finalYield()));
    o += kpi("k-retests", "retests (records after a unit's first)", num(py.retests), num(py.retests));
    o += "</div>\n<h3>Records per day</h3>\n<p class=\"legend\"><span class=\"pass\" style=\"background:#2e7d32\">"
         "</span>PASS<span style=\"background:#c62828\"></span>FAIL<span style=\"background:#ef6c00\"></span>"
         "ERROR</p>\n";
    o += "<div id=\"days-all\">" + dayChart(r.overall, 960, 240) + "</div>\n";
    for (const auto *groups : {&r.plans, &r.stations}) {
        if (groups->size() < 2) continue;
        bool plans = groups == &r.plans;
        std::string what = plans ? "plan" : "station";
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
            o += "<div><div class=\"meta\">" + escape(g.name) + "</div>" + dayChart(g, 470, 180) + "</div>";
        o += "</div>\n";
    }
    o += "<h3>By plan</h3>\n" + yieldTable(r.plans, "plan", "t-plans") + "\n";
    o += "<h3>By station</h3>\n" + yieldTable(r.stations, "station", "t-stations") + "\n";

    // ---- failures
    o += "<h2 id=\"failures\">Failing steps</h2>\n";
    if (r.failures.items.empty()) {
        o += "<p>No step failed or erred.</p>\n";
    } else {
        const size_t kBars = 20;
        o += "<p class=\"meta\">" + num(r.failures.steps) +
             " steps ended FAIL or ERROR; most frequent first, the line shows the cumulative share" +
             (r.failures.items.size() > kBars ? " (the chart shows the first " + num(kBars) + ")" : "") +
             ".</p>\n";
        o += paretoChart(r.failures, kBars);
        o += "\n<table id=\"t-pareto\"><tr>" + th("step") + th("FAIL", true) + th("ERROR", true) +
             th("share", true) + th("cumulative", true) + "</tr>";
        for (size_t i = 0; i < r.failures.items.size(); i++) {
            const ParetoItem &it = r.failures.items[i];
            o += "<tr>" + td(it.label) + td(num(r.failures.fail[i]), true) + td(num(r.failures.error[i]), true) +
                 td(pct(it.share), true) + td(pct(it.cumulative), true) + "</tr>";
        }
        o += "</table>\n";
    }

    // ---- measurements
    o += "<h2 id=\"measurements\">Measurements</h2>\n";
    if (r.series.empty()) o += "<p>No measurements in these records.</p>\n";
    o += "<p class=\"meta\">Cpk from the newest record's limits and the sample standard deviation; "
         "below " + shown(kCpkTarget) + " in red. Run charts: means of consecutive records, oldest "
         "first, with their range.</p>\n";
    for (size_t i = 0; i < r.series.size(); i++) o += seriesSection(r.series[i], i) + "\n";

    // ---- cycle time
    o += "<h2 id=\"cycle\">Cycle time per plan</h2>\n<table id=\"t-cycle\"><tr>" + th("plan") +
         th("records", true) + th("mean s", true) + th("median s", true) + th("90% s", true) +
         th("min s", true) + th("max s", true) + "</tr>";
    for (const CycleReport &cr : r.cycles)
        o += "<tr>" + td(cr.plan) + td(num(cr.summary.n), true) + td(shown(cr.summary.mean, 4), true) +
             td(shown(cr.median, 4), true) + td(shown(cr.p90, 4), true) + td(shown(cr.summary.min, 4), true) +
             td(shown(cr.summary.max, 4), true) + "</tr>";
    o += "</table>\n<div class=\"charts\">";
    for (const CycleReport &cr : r.cycles)
        o += "<div class=\"cycle\"><div class=\"meta\">" + escape(cr.plan) + ", seconds</div>" +
             histogramChart(cr.histogram, std::nullopt, std::nullopt, "cycle time of " + cr.plan) +
             (cr.beyond ? "<div class=\"meta\">and " + num(cr.beyond) + " longer than " + shown(cr.fence, 4) +
                              " s (up to " + shown(cr.summary.max, 4) + " s), not drawn</div>"
                        : std::string()) +
             "</div>";
    o += "</div>\n";

    // ---- tester wait, only when the tester was used
    if (!r.testerWaits.empty()) {
        o += "<h2 id=\"tester-wait\">Tester wait per plan</h2>\n<p class=\"meta\">How long units waited for "
             "the tester they share, per tester step (tester_wait_ms).</p>\n<table id=\"t-tester-wait\"><tr>" +
             th("plan") + th("steps", true) + th("median ms", true) + th("99% ms", true) + th("max ms", true) +
             "</tr>";
        for (const Distribution &w : r.testerWaits)
            o += "<tr>" + td(w.name) + td(num(w.summary.n), true) + td(wait(w.median), true) +
                 td(wait(w.p99), true) + td(wait(w.summary.max), true) + "</tr>";
        o += "</table>\n<div class=\"charts\">";
        for (const Distribution &w : r.testerWaits)
            o += "<div class=\"tester-wait\"><div class=\"meta\">" + escape(w.name) + ", ms</div>" +
                 histogramChart(w.histogram, std::nullopt, std::nullopt, "tester wait of " + w.name, "ms") +
                 "</div>";
        o += "</div>\n";
    }

    // ---- power error before and after calibration, only with pa-cal steps
    if (!r.powerErrors.empty()) {
        o += "<h2 id=\"power-error\">Power error before and after calibration</h2>\n<p class=\"meta\">Per "
             "pa-cal step (its line sets the chain): |measured \u2212 set| of the first round's points, on the "
             "uncalibrated unit, against |verify error| of the last verify, on the calibrated one; dB.</p>\n"
             "<table id=\"t-power-error\"><tr>" +
             th("step") + th("") + th("n", true) + th("median dB", true) + th("99% dB", true) +
             th("max dB", true) + "</tr>";
        for (const PowerErrorReport &p : r.powerErrors)
            for (const Distribution *e : {&p.before, &p.after})
                o += "<tr>" + td(p.step) + td(e->name) + td(num(e->summary.n), true) + td(dB(e->median), true) +
                     td(dB(e->p99), true) + td(dB(e->summary.max), true) + "</tr>";
        o += "</table>\n<div class=\"charts\">";
        for (const PowerErrorReport &p : r.powerErrors)
            for (const Distribution *e : {&p.before, &p.after})
                o += "<div class=\"power-error\"><div class=\"meta\">" + escape(p.step) + ", " + e->name +
                     ", dB</div>" +
                     histogramChart(e->histogram, std::nullopt, std::nullopt,
                                    "power error " + e->name + " calibration, " + p.step, "dB") +
                     "</div>";
        o += "</div>\n";
    }

    o += goldenSection(r.golden);

    // ---- who and what
    o += "<h2 id=\"people\">Operators and metadata</h2>\n" + shareTable(r.operators, "operator", "t-operators") +
         "\n";
    for (const MetadataReport &m : r.metadata) {
        o += "<h3>" + escape(m.key) + "</h3>\n" + shareTable(m.values, escape(m.key), "t-meta-" + escape(m.key)) + "\n";
        if (m.otherValues)
            o += "<p class=\"meta\">and " + num(m.otherValues) + " more values with fewer records.</p>\n";
    }
    if (r.otherMetadataKeys)
        o += "<p class=\"meta\">and " + num(r.otherMetadataKeys) + " more metadata keys.</p>\n";
    o += "</body></html>\n";
    return o;
}

}  // namespace report
