// The golden checks section of the HTML report (see golden.h).
#include "report/golden.h"

#include <cmath>
#include <map>

#include "report/aggregate.h"
#include "report/charts.h"
#include "report/svg.h"

namespace report {

namespace {

struct Check {
    std::string start;
    double diff;
    std::optional<double> low, high;
    bool pass;
};

// Consecutive checks as at most kMaxRunPoints points.
std::vector<RunPoint> runOf(const std::vector<Check> &checks) {
    std::vector<RunPoint> run;
    size_t per = (checks.size() + kMaxRunPoints - 1) / kMaxRunPoints;
    for (size_t i = 0; i < checks.size(); i += per) {
        RunPoint p;
        p.from = checks[i].start;
        p.min = p.max = checks[i].diff;
        double sum = 0;
        for (size_t k = i; k < checks.size() && k < i + per; ++k) {
            sum += checks[k].diff;
            p.min = std::fmin(p.min, checks[k].diff), p.max = std::fmax(p.max, checks[k].diff);
            ++p.n;
        }
        p.mean = sum / (double)p.n;
        run.push_back(p);
    }
    return run;
}

}  // namespace

std::vector<GoldenPort> goldenPorts(results::Store &store, const results::RecordFilter &filter) {
    // The golden checks are few: a line checks a port a shift or a day.
    std::map<std::pair<std::string, std::string>, std::vector<Check>> byPort;
    std::map<std::pair<std::string, std::string>, std::string> lastVerdict;
    // Records of kind golden (Store::lastGoldenCheck's) and the figure
    // they keep for the port, whichever step measured it.
    results::MeasurementSelect sel;
    sel.names = {"power_diff"};
    sel.goldenOnly = true;
    store.measurementsInOrder(filter, sel, [&](const results::MeasurementInOrder &m) {
        auto key = std::make_pair(m.record.station, m.port);
        byPort[key].push_back({m.record.startedAt, m.value, m.low, m.high, m.record.verdict == results::Verdict::Pass});
        lastVerdict[key] = verdictName(m.record.verdict);
    });
    std::vector<GoldenPort> out;
    for (auto &kv : byPort) {
        GoldenPort g;
        g.station = kv.first.first, g.port = kv.first.second;
        const std::vector<Check> &c = kv.second;  // oldest first
        g.run = runOf(c);
        g.low = c.back().low, g.high = c.back().high;
        g.checks = (int64_t)c.size();
        for (const Check &x : c) g.failed += !x.pass;
        g.last = c.back().start;
        g.lastVerdict = lastVerdict[kv.first];
        out.push_back(g);
    }
    return out;
}

std::string goldenSection(const std::vector<GoldenPort> &ports) {
    if (ports.empty()) return "";
    std::string o = "<h2 id=\"golden\">Golden checks per port</h2>\n<p class=\"meta\">The golden unit's power "
                    "through each port's loss table minus its reference (power_diff, the point furthest off), "
                    "oldest first, with the tolerance: a cable or connector that drifts shows here before its "
                    "check fails.</p>\n<table id=\"t-golden\"><tr><th>station</th><th>port</th>"
                    "<th class=\"num\">checks</th><th class=\"num\">not PASS</th><th>last</th><th>verdict</th></tr>";
    for (const GoldenPort &g : ports)
        o += "<tr><td>" + escape(g.station) + "</td><td>" + escape(g.port.empty() ? "?" : g.port) +
             "</td><td class=\"num\">" + std::to_string(g.checks) + "</td><td class=\"num\">" +
             std::to_string(g.failed) + "</td><td>" + escape(g.last) + "</td><td>" + escape(g.lastVerdict) +
             "</td></tr>";
    o += "</table>\n<div class=\"charts\">";
    for (const GoldenPort &g : ports) {
        std::string label = g.station + " port " + (g.port.empty() ? "?" : g.port);
        o += "<div class=\"golden\"><div class=\"meta\">" + escape(label) + ", power difference, dB</div>" +
             runChart(g.run, g.low, g.high, "golden checks of " + label, Axes{"checks, oldest first", "power difference, dB"}) + "</div>";
    }
    return o + "</div>\n";
}

}  // namespace report
