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
    uint32_t record;
    double diff;
    std::optional<double> low, high;
};

// Consecutive checks as at most kMaxRunPoints points.
std::vector<RunPoint> runOf(const Dataset &d, const std::vector<Check> &checks) {
    std::vector<RunPoint> run;
    size_t per = (checks.size() + kMaxRunPoints - 1) / kMaxRunPoints;
    for (size_t i = 0; i < checks.size(); i += per) {
        RunPoint p;
        p.from = d.records[checks[i].record].startedAt;
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

std::vector<GoldenPort> goldenPorts(const Dataset &d) {
    std::vector<bool> golden(d.records.size());
    std::vector<std::string> port(d.records.size());
    for (const MetadataRow &m : d.metadata) {
        if (m.key == "kind" && m.value == "golden") golden[m.record] = true;
        if (m.key == "fixture_port") port[m.record] = m.value;
    }
    std::map<std::pair<std::string, std::string>, std::vector<Check>> byPort;
    for (const MeasurementRow &m : d.measurements) {
        const SeriesKey &k = d.series[m.series];
        if (!golden[m.record] || k.command != "golden-check" || k.name != "power_diff") continue;
        byPort[{d.records[m.record].station, port[m.record]}].push_back({m.record, m.value, m.low, m.high});
    }
    std::vector<GoldenPort> out;
    for (auto &kv : byPort) {
        GoldenPort g;
        g.station = kv.first.first, g.port = kv.first.second;
        const std::vector<Check> &c = kv.second;  // in record order: oldest first
        g.run = runOf(d, c);
        g.low = c.back().low, g.high = c.back().high;
        g.checks = (int64_t)c.size();
        for (const Check &x : c) g.failed += d.records[x.record].verdict != results::Verdict::Pass;
        g.last = d.records[c.back().record].startedAt;
        g.lastVerdict = verdictName(d.records[c.back().record].verdict);
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
