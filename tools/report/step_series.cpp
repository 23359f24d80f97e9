// The steps' series drawn as their steps declare them; see step_series.h.
#include "report/step_series.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <tuple>

#include "report/charts.h"
#include "report/svg.h"
#include "station/series.h"

namespace report {

namespace {

// A chart's figures while the points stream by.
struct Building {
    StepSeriesChart chart;
    std::string command, limit;  // limit: the measurement name, or a prefix ending in '%'
    std::map<std::string, std::map<double, Band>> bands;  // group -> x to a tenth -> (mean holds the sum)
    std::deque<StepSeriesChart::Curve> curves;
    std::map<std::string, StepSeriesChart::Curve> unit;  // the current record's, by group
};

using ChartKey = std::tuple<std::string, int, std::string, std::string, int>;  // plan, line, command, series, y

// "per_<dBm>" -> "per_%"; a name without a placeholder as it is.
std::string limitName(const char *limit) {
    std::string s = limit;
    size_t at = s.find('<');
    return at == std::string::npos ? s : s.substr(0, at) + "%";
}

bool nameMatches(const std::string &pattern, const std::string &name) {
    if (pattern.empty() || pattern.back() != '%') return name == pattern;
    return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
}

// One row of a series (its values by column name) into its charts.
struct Rows {
    std::map<ChartKey, Building> charts;
    std::string record, serial, plan, command, series;
    int line = 0;
    int64_t step = -1, row = -1;
    std::map<std::string, double> values;

    void flushRow() {
        const station::SeriesDecl *d = station::seriesDecl(command, series);
        if (row < 0 || !d || d->x() < 0) return values.clear();
        auto x = values.find(d->columns[d->x()].name);
        std::string group;
        for (int k = 0; k < d->columnCount; ++k)
            if (d->columns[k].role == station::SeriesRole::Group) {
                auto g = values.find(d->columns[k].name);
                if (g != values.end()) group = d->columns[k].name + std::string(" ") + shown(g->second);
            }
        for (int k = 0; x != values.end() && k < d->columnCount; ++k) {
            const station::SeriesColumnDecl &c = d->columns[k];
            auto y = values.find(c.name);
            if (c.role != station::SeriesRole::Y || y == values.end()) continue;
            Building &b = charts[{plan, line, command, series, k}];
            if (b.chart.step.empty()) start(&b, *d, k);
            add(&b, group, x->second, y->second);
        }
        values.clear();
    }
    void start(Building *b, const station::SeriesDecl &d, int k) {
        b->chart.step = plan + " \u00b7 line " + std::to_string(line) + " \u00b7 " + command;
        b->chart.series = series;
        b->chart.x = d.columns[d.x()].name, b->chart.xUnit = d.columns[d.x()].unit;
        b->chart.y = d.columns[k].name, b->chart.yUnit = d.columns[k].unit;
        b->command = command;
        if (d.columns[k].limit) b->limit = limitName(d.columns[k].limit);
    }
    void add(Building *b, const std::string &group, double x, double y) {
        if (!std::isfinite(x) || !std::isfinite(y)) return;
        auto &byX = b->bands[group];
        double at = std::round(x * 10) / 10;
        if (!byX.count(at) && byX.size() >= kMaxXValues) {
            b->chart.leftOut++;
        } else {
            Band &band = byX[at];
            band.set = at;
            band.min = band.n ? std::min(band.min, y) : y;
            band.max = band.n ? std::max(band.max, y) : y;
            band.mean += y;
            band.n++;
        }
        StepSeriesChart::Curve &c = b->unit[group];
        c.serial = serial, c.group = group;
        c.points.emplace_back(x, y);
    }
    // The record's curves join the newest ones.
    void flushRecord() {
        for (auto &kv : charts) {
            Building &b = kv.second;
            if (b.unit.empty()) continue;
            b.chart.units++;
            for (auto &c : b.unit) b.curves.push_back(std::move(c.second));
            b.unit.clear();
            while (b.curves.size() > kMaxCurves * std::max<size_t>(1, b.bands.size())) b.curves.pop_front();
        }
    }
};

void readLimits(results::Store &store, const results::RecordFilter &filter, std::map<ChartKey, Building> &charts) {
    results::MeasurementSelect sel;
    for (const auto &kv : charts) {
        if (kv.second.limit.empty()) continue;
        sel.names.push_back(kv.second.limit);
        sel.commands.push_back(kv.second.command);
    }
    if (sel.names.empty()) return;
    store.measurementsInOrder(filter, sel, [&](const results::MeasurementInOrder &m) {
        for (auto &kv : charts) {
            const ChartKey &k = kv.first;
            if (std::get<0>(k) != m.record.planName || std::get<1>(k) != m.line || std::get<2>(k) != m.command ||
                !nameMatches(kv.second.limit, m.name))
                continue;
            kv.second.chart.low = m.low;  // records come oldest first: the newest wins
            kv.second.chart.high = m.high;
        }
    });
}

}  // namespace

std::vector<StepSeriesChart> stepSeriesCharts(results::Store &store, const results::RecordFilter &filter) {
    Rows rows;
    store.seriesPointsInOrder(filter, {}, [&](const results::SeriesPointInOrder &v) {
        bool newRecord = v.recordId != rows.record;
        if (newRecord || v.stepIndex != rows.step || v.series != rows.series || v.row != rows.row) rows.flushRow();
        if (newRecord) rows.flushRecord();
        rows.record = v.recordId, rows.serial = v.serial, rows.plan = v.plan, rows.command = v.command;
        rows.series = v.series, rows.line = v.line, rows.step = v.stepIndex, rows.row = v.row;
        rows.values[v.column] = v.value;
    });
    rows.flushRow();
    rows.flushRecord();
    readLimits(store, filter, rows.charts);
    std::vector<StepSeriesChart> out;
    for (auto &kv : rows.charts) {
        StepSeriesChart c = std::move(kv.second.chart);
        for (auto &g : kv.second.bands) {
            StepSeriesChart::Group group{g.first, {}};
            for (auto &b : g.second) {
                Band x = b.second;
                x.mean = x.min == x.max ? x.min : x.mean / (double)x.n;
                group.byX.push_back(x);
            }
            c.groups.push_back(std::move(group));
        }
        c.curves.assign(kv.second.curves.begin(), kv.second.curves.end());
        out.push_back(std::move(c));
    }
    return out;
}

namespace {

std::string axisTitle(const std::string &name, const std::string &unit) {
    return unit.empty() ? name : name + " (" + unit + ")";
}

// y against x: every unit's range and mean at each x (per group), the
// newest units' own curves, and the limit lines.
std::string xyChart(const StepSeriesChart &c, const std::string &label) {
    const int width = 420, height = 250;
    Svg svg(width, height, "chart xy", label);
    const double left = 48, right = width - 24, top = 30, bottom = height - 40;
    double x0 = INFINITY, x1 = -INFINITY, y0 = INFINITY, y1 = -INFINITY;
    auto take = [&](double x, double y) {
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    };
    for (const auto &g : c.groups)
        for (const Band &b : g.byX) take(b.set, b.min), take(b.set, b.max);
    for (const auto &cv : c.curves)
        for (const auto &p : cv.points) take(p.first, p.second);
    if (!(x0 <= x1)) return "";
    for (auto l : {c.low, c.high})
        if (l) y0 = std::min(y0, *l), y1 = std::max(y1, *l);
    double px = std::max((x1 - x0) * 0.04, 0.5), py = std::max((y1 - y0) * 0.06, 0.05);
    Scale x{x0 - px, x1 + px, left, right}, y{y0 - py, y1 + py, bottom, top};
    svg.yAxis(y, left, right, ticks(y.d0, y.d1, 4));
    svg.xAxis(x, bottom, ticks(x0, x1, 4));
    const char *side[] = {"low", "high"};
    int k = 0;
    for (auto l : {c.low, c.high}) {
        if (l)
            svg.line(left, y.at(*l), right, y.at(*l), "limit",
                     std::string(" data-limit=\"") + side[k] + "\" data-value=\"" + exact(*l) + "\"");
        k++;
    }
    for (const auto &cv : c.curves) {
        std::vector<std::pair<double, double>> pts;
        std::vector<std::pair<double, double>> sorted = cv.points;
        std::sort(sorted.begin(), sorted.end());
        for (const auto &p : sorted) pts.emplace_back(x.at(p.first), y.at(p.second));
        if (pts.size() > 1) svg.polyline(pts, "unit", " data-serial=\"" + escape(cv.serial) + "\"");
    }
    for (size_t g = 0; g < c.groups.size(); g++) {
        std::vector<std::pair<double, double>> means;
        svg.raw("<g class=\"group g" + std::to_string(g % 4) + "\">");
        for (const Band &b : c.groups[g].byX) {
            double cx = x.at(b.set);
            if (b.max > b.min) svg.line(cx, y.at(b.min), cx, y.at(b.max), "band");
            means.emplace_back(cx, y.at(b.mean));
            svg.circle(cx, y.at(b.mean), 3, "point",
                       (c.groups[g].name.empty() ? "" : c.groups[g].name + ", ") + c.x + " " + shown(b.set) + " " +
                           c.xUnit + ": " + std::to_string(b.n) + " values, mean " + shown(b.mean, 3) + " " +
                           c.yUnit + ", " + shown(b.min, 3) + " .. " + shown(b.max, 3));
        }
        if (means.size() > 1) svg.polyline(means, "trend");
        svg.raw("</g>");
    }
    svg.titles(axisTitle(c.x, c.xUnit), axisTitle(c.y, c.yUnit), 4);
    return svg.done();
}

}  // namespace

std::string stepSeriesSection(const std::vector<StepSeriesChart> &charts) {
    if (charts.empty()) return "";
    std::string o = "<h2 id=\"step-series\">Steps' series</h2>\n<p class=\"meta\">Each step's points as the step "
                    "declares them: at every x the range and mean over all units, the newest units' own curves "
                    "(thin), and the limits the step holds the values to.</p>\n<div class=\"charts\">";
    for (size_t i = 0; i < charts.size(); i++) {
        const StepSeriesChart &c = charts[i];
        std::string title = c.step + " \u00b7 " + c.series + ": " + c.y + " against " + c.x;
        std::string groups;
        for (const auto &g : c.groups) groups += (groups.empty() ? "" : ", ") + (g.name.empty() ? "all" : g.name);
        o += "<div class=\"measurement xy\" id=\"xy" + std::to_string(i) + "\" data-units=\"" +
             std::to_string(c.units) + "\"><div class=\"meta\">" + escape(title) + "; " + std::to_string(c.units) +
             " unit(s)" + (c.groups.size() > 1 ? "; curves: " + escape(groups) : std::string()) +
             (c.leftOut ? "; " + std::to_string(c.leftOut) + " values beyond " + std::to_string(kMaxXValues) +
                              " x values left out" : std::string()) +
             "</div>" + xyChart(c, title) + "</div>";
    }
    return o + "</div>\n";
}

}  // namespace report
