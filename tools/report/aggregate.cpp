// From the store's rows to the report's figures; see aggregate.h.
#include "report/aggregate.h"
#include "report/golden.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <set>

namespace report {

using results::Verdict;

namespace {

void count(Counts *c, Verdict v) {
    c->records++;
    if (v == Verdict::Pass) c->pass++;
    else if (v == Verdict::Fail) c->fail++;
    else c->error++;
}

// One yield group from the indices of its records (oldest first).
YieldGroup yieldGroup(const std::string &name, const Dataset &d, const std::vector<uint32_t> &recs,
                      const std::vector<std::string> &dayOf) {
    YieldGroup g;
    g.name = name;
    std::vector<std::pair<std::string, Verdict>> tests;
    tests.reserve(recs.size());
    std::map<std::string, Counts> days;
    for (uint32_t i : recs) {
        const RecordRow &r = d.records[i];
        count(&g.counts, r.verdict);
        count(&days[dayOf[i]], r.verdict);
        tests.emplace_back(r.serial, r.verdict);
    }
    g.pass = passYield(tests);
    for (const auto &day : days) g.days.push_back({day.first, day.second});
    return g;
}

std::vector<ShareRow> shareRows(std::map<std::string, Counts> &&by, int64_t *others) {
    std::vector<ShareRow> rows;
    for (auto &b : by) rows.push_back({b.first, b.second});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ShareRow &a, const ShareRow &b) { return a.counts.records > b.counts.records; });
    if (rows.size() > kMaxShareRows) {
        if (others) *others = (int64_t)(rows.size() - kMaxShareRows);
        rows.resize(kMaxShareRows);
    }
    return rows;
}

int64_t ms(const std::string &t) {
    int64_t v = 0;
    parseUtcMs(t, &v);
    return v;
}

// ---- yield, overall and per plan, station, operator and metadata value
// Returns the records of each plan (for the cycle times).
std::map<std::string, std::vector<uint32_t>> yields(const Dataset &d, const Zone &zone, Report *rep) {
    std::vector<std::string> dayOf(d.records.size());
    std::vector<uint32_t> all(d.records.size());
    std::map<std::string, std::vector<uint32_t>> byPlan, byStation;
    std::map<std::string, Counts> byOperator;
    for (uint32_t i = 0; i < d.records.size(); i++) {
        const RecordRow &r = d.records[i];
        dayOf[i] = zone.dayOf(ms(r.startedAt));
        all[i] = i;
        byPlan[r.plan].push_back(i);
        byStation[r.station].push_back(i);
        count(&byOperator[r.operatorName], r.verdict);
    }
    rep->overall = yieldGroup("all records", d, all, dayOf);
    for (const auto &p : byPlan) rep->plans.push_back(yieldGroup(p.first, d, p.second, dayOf));
    for (const auto &s : byStation) rep->stations.push_back(yieldGroup(s.first, d, s.second, dayOf));
    rep->operators = shareRows(std::move(byOperator), nullptr);

    std::map<std::string, std::map<std::string, Counts>> byMeta;
    for (const MetadataRow &m : d.metadata) count(&byMeta[m.key][m.value], d.records[m.record].verdict);
    for (auto &k : byMeta) {
        if (rep->metadata.size() == kMaxMetadataKeys) {
            rep->otherMetadataKeys++;
            continue;
        }
        MetadataReport mr;
        mr.key = k.first;
        mr.values = shareRows(std::move(k.second), &mr.otherValues);
        rep->metadata.push_back(std::move(mr));
    }
    return byPlan;
}

// ---- failures by measurement
std::string seriesLabel(const SeriesKey &k) {
    return k.plan + " \u00b7 line " + std::to_string(k.line) + " \u00b7 " + k.command +
           (k.name.empty() ? std::string() : " \u00b7 " + k.name);
}

void failures(const Dataset &d, Report *rep) {
    // The FAIL measurements of each (record, line): the step's culprits.
    std::map<std::pair<uint32_t, int>, std::vector<uint32_t>> culprits;
    for (const MeasurementRow &m : d.measurements)
        if (m.failed) culprits[{m.record, d.series[m.series].line}].push_back(m.series);
    std::map<std::string, int> seriesAt;
    for (size_t i = 0; i < rep->series.size(); i++) seriesAt[seriesLabel(rep->series[i].key)] = (int)i;
    std::map<std::string, std::pair<int64_t, int64_t>> counts;  // label -> fail, error
    for (const FailedStepRow &s : d.failedSteps) {
        auto bump = [&](const std::string &label) {
            auto &f = counts[label];
            (s.verdict == Verdict::Fail ? f.first : f.second)++;
        };
        auto c = culprits.find({s.record, s.line});
        if (c == culprits.end())
            bump(seriesLabel({d.records[s.record].plan, s.line, s.command, ""}));
        else
            for (uint32_t k : c->second) bump(seriesLabel(d.series[k]));
        rep->failures.steps++;
    }
    std::vector<std::pair<std::string, int64_t>> totals;
    for (const auto &f : counts) totals.emplace_back(f.first, f.second.first + f.second.second);
    rep->failures.items = pareto(totals);
    for (const ParetoItem &it : rep->failures.items) {
        rep->failures.fail.push_back(counts[it.label].first);
        rep->failures.error.push_back(counts[it.label].second);
        auto at = seriesAt.find(it.label);
        rep->failures.series.push_back(at == seriesAt.end() ? -1 : at->second);
    }
}

// At most kMaxRunPoints points, each the mean, min and max of its share.
std::vector<RunPoint> runChart(const Dataset &d, const Zone &zone, const std::vector<const MeasurementRow *> &rows,
                               const std::vector<double> &values) {
    std::vector<const MeasurementRow *> finite;
    for (const MeasurementRow *m : rows)
        if (std::isfinite(m->value)) finite.push_back(m);
    std::vector<RunPoint> run;
    size_t n = values.size(), points = std::min(n, kMaxRunPoints);
    for (size_t k = 0; k < points; k++) {
        size_t a = k * n / points, b = (k + 1) * n / points;
        RunPoint p;
        p.n = (int64_t)(b - a);
        p.min = p.max = values[a];
        double sum = 0;
        for (size_t i = a; i < b; i++) {
            sum += values[i];
            p.min = std::min(p.min, values[i]);
            p.max = std::max(p.max, values[i]);
        }
        p.mean = sum / (double)p.n;
        p.from = zone.timeOf(ms(d.records[finite[a]->record].startedAt));
        run.push_back(p);
    }
    return run;
}

// ---- one measurement of one step: statistics, histogram, run chart
SeriesReport series(const Dataset &d, const Zone &zone, size_t s, const std::vector<const MeasurementRow *> &rows) {
    SeriesReport sr;
    sr.key = d.series[s];
    station::MeasureInfo info = station::measureInfo(sr.key.name, sr.key.command);
    sr.kind = info.kind;
    sr.unit = info.unit;
    std::vector<double> values;
    values.reserve(rows.size());
    std::set<std::pair<std::optional<double>, std::optional<double>>> limitSets;
    for (const MeasurementRow *m : rows) {
        // NaN or infinite (a PostgreSQL store may hold them): counted as
        // outside the limits, left out of the statistics and charts.
        if (std::isfinite(m->value))
            values.push_back(m->value);
        else
            sr.notFinite++;
        limitSets.emplace(m->low, m->high);
        if (std::isfinite(m->value) && m->value != 0) sr.held++;
        if ((m->low && !(m->value >= *m->low)) || (m->high && !(m->value <= *m->high))) sr.failed++;
    }
    if (!rows.empty()) {
        sr.low = rows.back()->low;
        sr.high = rows.back()->high;
    }
    sr.limitSets = (int)limitSets.size();
    sr.summary = summarize(values);
    // A flag's limit makes it a check, its values a share: no Cpk.
    if (sr.kind == station::MeasureKind::Limited) {
        sr.cpk = cpk(sr.summary, sr.low, sr.high);
        sr.noCpk = cpkWhyNot(sr.summary, sr.low, sr.high);
    } else {
        sr.noCpk = "not a value with limits";
    }
    // Only a limited value is drawn: a flag is a share, bookkeeping a line.
    if (sr.kind == station::MeasureKind::Limited) {
        sr.histogram = histogram(values);
        sr.run = runChart(d, zone, rows, values);
    }
    return sr;
}

// Limited values first, the least capable first (no Cpk after every Cpk),
// then flags, then bookkeeping; each kind in key order otherwise.
void sortSeries(std::vector<SeriesReport> *series) {
    auto rank = [](const SeriesReport &s) {
        double worst = s.cpk ? *s.cpk : std::numeric_limits<double>::infinity();
        return std::make_pair((int)s.kind, worst);
    };
    std::stable_sort(series->begin(), series->end(),
                     [&](const SeriesReport &a, const SeriesReport &b) { return rank(a) < rank(b); });
}

// ---- cycle time per plan
void cycles(const Dataset &d, const std::map<std::string, std::vector<uint32_t>> &byPlan, Report *rep) {
    for (const auto &p : byPlan) {
        CycleReport c;
        c.plan = p.first;
        std::vector<double> secs;
        for (uint32_t i : p.second) {
            double s = (double)(ms(d.records[i].endedAt) - ms(d.records[i].startedAt)) / 1000.0;
            secs.push_back(s);
        }
        c.summary = summarize(secs);
        std::sort(secs.begin(), secs.end());
        c.median = quantile(secs, 0.5);
        c.p90 = quantile(secs, 0.9);
        // The few far longer runs (a retried or timed-out step) would squeeze
        // the usual ones into one bar: drawn are those up to Tukey's far
        // fence, Q3 + 3 IQR; the others are counted.
        double q1 = quantile(secs, 0.25), q3 = quantile(secs, 0.75);
        c.fence = q3 + 3 * (q3 - q1);
        std::vector<double> drawn;
        for (double v : secs) {
            if (v <= c.fence)
                drawn.push_back(v);
            else
                c.beyond++;
        }
        c.histogram = histogram(drawn);
        rep->cycles.push_back(std::move(c));
    }
}

Distribution distribution(std::string name, std::vector<double> v) {
    Distribution r;
    r.name = std::move(name);
    r.summary = summarize(v);
    std::sort(v.begin(), v.end());
    if (!v.empty()) {
        r.median = quantile(v, 0.5);
        r.p99 = quantile(v, 0.99);
    }
    r.histogram = histogram(v);
    return r;
}

// A pa-cal step's points by number, and its last verify's errors.
struct CalPointRow {
    std::optional<double> set, measured, round, verify;
};
struct CalStepRows {
    std::map<int64_t, CalPointRow> points;     // from the step's series "points", by row
    std::map<int64_t, CalPointRow> oldPoints;  // from p<k>_* names (records before series), by k
    std::vector<std::pair<double, double>> verifyErrors;  // (set dBm, error dB)
    std::optional<double> low, high;                      // of the verify errors
};

// The number a patterned name ends with after prefix ("verify_error_17.5").
bool suffixNumber(const std::string &name, const char *prefix, double *v) {
    size_t n = strlen(prefix);
    if (name.compare(0, n, prefix) != 0 || name.size() == n) return false;
    char *end = nullptr;
    *v = strtod(name.c_str() + n, &end);
    return end && *end == 0 && std::isfinite(*v);
}

// Adds one pa-cal measurement: a verify error, or one field of a point as
// records written before the step kept its points as a series named them
// (p<k>_set, p<k>_measured, p<k>_round, p<k>_verify).  The only reader of
// those names: calibration() uses them only for a step without a series.
void addCalValue(CalStepRows *st, const std::string &name, const MeasurementRow &m) {
    double set = 0;
    if (suffixNumber(name, "verify_error_", &set)) {
        st->verifyErrors.emplace_back(set, m.value);
        st->low = m.low;
        st->high = m.high;
        return;
    }
    int n = 0;
    char field[16];
    if (sscanf(name.c_str(), "p%d_%15s", &n, field) != 2) return;
    std::string f = field;
    CalPointRow &p = st->oldPoints[n];
    if (f == "set") p.set = m.value;
    else if (f == "measured") p.measured = m.value;
    else if (f == "round") p.round = m.value;
    else if (f == "verify") p.verify = m.value;
}

// Adds one value of a pa-cal step's series "points" (station/steps/pa_cal.cpp).
void addCalPoint(CalStepRows *st, const SeriesValueRow &v) {
    if (v.series != "points" || !std::isfinite(v.value)) return;
    CalPointRow &p = st->points[v.row];
    if (v.column == "set_power") p.set = v.value;
    else if (v.column == "measured") p.measured = v.value;
    else if (v.column == "round") p.round = v.value;
    else if (v.column == "verify") p.verify = v.value;
}

// Values by set power, lowest first: n, mean and range of each.
std::vector<Band> bands(const std::map<double, std::vector<double>> &bySet) {
    std::vector<Band> out;
    for (const auto &b : bySet) {
        Summary s = summarize(b.second);
        out.push_back({b.first, s.n, s.mean, s.min, s.max});
    }
    return out;
}

// What one pa-cal step (plan, line) did on all its records.
struct CalCollected {
    std::string chain;
    std::vector<double> before, after;                  // signed, dB
    std::map<double, std::vector<double>> beforeBy, afterBy;
    std::optional<double> low, high;
};

PowerErrorReport powerError(const std::string &step, CalCollected &&c) {
    PowerErrorReport p;
    p.step = step;
    p.chain = c.chain;
    p.low = c.low;
    p.high = c.high;
    std::vector<double> all = c.before, absBefore, absAfter;
    all.insert(all.end(), c.after.begin(), c.after.end());
    Histogram h = histogram(all);
    p.bins = (int64_t)h.counts.size();
    p.binLo = h.lo;
    p.binWidth = h.width;
    auto binned = [&](const std::vector<double> &v, std::vector<double> *abs) {
        std::vector<int64_t> counts(h.counts.size(), 0);
        for (double x : v) {
            double pos = std::floor((x - h.lo) / h.width);
            counts[pos < 0 ? 0 : std::min((size_t)pos, counts.size() - 1)]++;
            abs->push_back(std::fabs(x));
        }
        return counts;
    };
    p.beforeBins = binned(c.before, &absBefore);
    p.afterBins = binned(c.after, &absAfter);
    p.before = distribution("before", std::move(absBefore));
    p.after = distribution("after", std::move(absAfter));
    p.beforeBySet = bands(c.beforeBy);
    p.afterBySet = bands(c.afterBy);
    return p;
}

// ---- tester wait per plan
void testerWaits(const Dataset &d, Report *rep) {
    std::map<std::string, std::vector<double>> waits;
    for (const MeasurementRow &m : d.measurements)
        if (std::isfinite(m.value) && d.series[m.series].name == "tester_wait_ms")
            waits[d.series[m.series].plan].push_back(m.value);
    for (auto &w : waits) rep->testerWaits.push_back(distribution(w.first, std::move(w.second)));
}

// ---- power error before and after pa-cal, per step; a sweep's by set power
void calibration(const Dataset &d, Report *rep) {
    std::map<std::pair<uint32_t, int>, CalStepRows> calSteps;  // (record, line)
    std::map<std::pair<std::string, int>, std::pair<SweepReport, std::map<double, std::vector<double>>>> sweeps;
    for (const MeasurementRow &m : d.measurements) {
        const SeriesKey &k = d.series[m.series];
        double set = 0;
        if (!std::isfinite(m.value)) continue;
        if (k.command == "pa-cal") addCalValue(&calSteps[{m.record, k.line}], k.name, m);
        if (k.command == "tx-sweep" && suffixNumber(k.name, "power_error_", &set)) {
            auto &sw = sweeps[{k.plan, k.line}];
            sw.first.low = m.low;
            sw.first.high = m.high;
            sw.second[set].push_back(m.value);
        }
    }
    for (const SeriesValueRow &v : d.calSeries) addCalPoint(&calSteps[{v.record, v.line}], v);
    std::map<std::pair<uint32_t, int>, std::string> chainOf;
    for (const CalStepRow &c : d.calSteps) chainOf[{c.record, c.line}] = c.chain;
    std::map<std::pair<std::string, int>, CalCollected> steps;
    for (const auto &s : calSteps) {
        CalCollected &c = steps[{d.records[s.first.first].plan, s.first.second}];
        auto chain = chainOf.find(s.first);
        if (chain != chainOf.end()) c.chain = chain->second;
        const auto &points = s.second.points.empty() ? s.second.oldPoints : s.second.points;
        for (const auto &p : points) {
            const CalPointRow &q = p.second;
            // By whole dBm: a unit's first round sets powers of its own.
            if (q.set && q.measured && q.round && *q.round == 1 && !(q.verify && *q.verify != 0)) {
                c.before.push_back(*q.measured - *q.set);
                c.beforeBy[std::round(*q.set)].push_back(*q.measured - *q.set);
            }
        }
        for (const auto &v : s.second.verifyErrors) {
            c.after.push_back(v.second);
            c.afterBy[std::round(v.first)].push_back(v.second);
        }
        if (!s.second.verifyErrors.empty()) {
            c.low = s.second.low;
            c.high = s.second.high;
        }
    }
    for (auto &s : steps)
        rep->powerErrors.push_back(powerError(
            s.first.first + " \u00b7 line " + std::to_string(s.first.second) + " \u00b7 pa-cal", std::move(s.second)));
    for (auto &s : sweeps) {
        s.second.first.step = s.first.first + " \u00b7 line " + std::to_string(s.first.second) + " \u00b7 tx-sweep";
        s.second.first.bySet = bands(s.second.second);
        rep->sweeps.push_back(std::move(s.second.first));
    }
}

}  // namespace

Report aggregate(const Dataset &d, const Zone &zone) {
    Report rep;
    rep.zone = zone.name();
    rep.golden = goldenPorts(d);
    if (!d.records.empty()) {
        rep.firstStart = zone.timeOf(ms(d.records.front().startedAt));
        rep.lastStart = zone.timeOf(ms(d.records.back().startedAt));
    }
    std::map<std::string, std::vector<uint32_t>> byPlan = yields(d, zone, &rep);
    std::vector<std::vector<const MeasurementRow *>> bySeries(d.series.size());
    for (const MeasurementRow &m : d.measurements) bySeries[m.series].push_back(&m);
    for (size_t s = 0; s < d.series.size(); s++) rep.series.push_back(series(d, zone, s, bySeries[s]));
    sortSeries(&rep.series);
    failures(d, &rep);
    cycles(d, byPlan, &rep);
    testerWaits(d, &rep);
    calibration(d, &rep);
    return rep;
}

std::vector<results::YieldRow> yieldByPlanDay(const Dataset &d, const Zone &zone) {
    std::map<std::pair<std::string, std::string>, std::pair<results::YieldRow, std::set<std::string>>> groups;
    for (const RecordRow &r : d.records) {
        auto &g = groups[{r.plan, zone.dayOf(ms(r.startedAt))}];
        g.second.insert(r.serial);
        results::YieldRow &y = g.first;
        y.records++;
        (r.verdict == Verdict::Pass ? y.pass : r.verdict == Verdict::Fail ? y.fail : y.error)++;
    }
    std::vector<results::YieldRow> rows;
    for (auto &g : groups) {
        results::YieldRow y = g.second.first;
        y.plan = g.first.first;
        y.day = g.first.second;
        y.units = (int64_t)g.second.second.size();
        rows.push_back(y);
    }
    return rows;
}

}  // namespace report
