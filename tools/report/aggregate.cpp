// From the store's rows to the report's figures; see aggregate.h.
#include "report/aggregate.h"
#include "report/golden.h"
#include "report/step_series.h"
#include "station/series.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <tuple>
#include <unordered_set>

namespace report {

using results::Verdict;

namespace {

using results::Store;
using results::RecordFilter;

void count(Counts *c, Verdict v) {
    c->records++;
    if (v == Verdict::Pass) c->pass++;
    else if (v == Verdict::Fail) c->fail++;
    else c->error++;
}

void add(Counts *to, const Counts &c) {
    to->records += c.records, to->pass += c.pass, to->fail += c.fail, to->error += c.error;
}

int64_t ms(const std::string &t) {
    int64_t v = 0;
    parseUtcMs(t, &v);
    return v;
}

// Shares by name, most records first (ties by name, bytewise), at most
// kMaxShareRows; *others: how many were left out.
std::vector<ShareRow> shareRows(std::map<std::string, Counts> &&by, int64_t *others) {
    std::vector<ShareRow> rows;
    for (auto &b : by) rows.push_back({b.first, b.second});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ShareRow &a, const ShareRow &b) { return a.counts.records > b.counts.records; });
    if (rows.size() > kMaxShareRows) {
        if (others) *others += (int64_t)(rows.size() - kMaxShareRows);
        rows.resize(kMaxShareRows);
    }
    return rows;
}

Distribution distribution(std::string name, const Sample &s) {
    Distribution r;
    r.name = std::move(name);
    std::vector<double> v = s.values;
    r.summary = summarize(v);
    r.summary.n = s.n;
    if (s.n) r.summary.min = s.min, r.summary.max = s.max;
    std::sort(v.begin(), v.end());
    if (!v.empty()) {
        r.median = quantile(v, 0.5);
        r.p99 = quantile(v, 0.99);
    }
    r.histogram = histogram(v);
    return r;
}

// ---- records: yields by plan, station and day, operators, cycle times
struct ByRecords {
    Counts all;
    std::map<std::string, std::map<std::string, Counts>> planDays, stationDays;  // name -> day -> counts
    std::map<std::string, Counts> operators;
    std::map<std::string, Sample> cycles;  // plan -> seconds
    std::string first, last;
};

void readRecords(Store &store, const RecordFilter &f, const Zone &zone, ByRecords *b) {
    std::string lastDay;
    int64_t dayEnd = INT64_MIN;
    store.recordsInOrder(f, [&](const results::RecordSummary &r) {
        int64_t at = ms(r.startedAt);
        // Records come oldest first: a day is looked up once.
        if (at >= dayEnd || lastDay.empty()) {
            lastDay = zone.dayOf(at);
            dayEnd = zone.startOfDay(nextDay(lastDay));
        }
        count(&b->all, r.verdict);
        count(&b->planDays[r.planName][lastDay], r.verdict);
        count(&b->stationDays[r.station][lastDay], r.verdict);
        count(&b->operators[r.operatorName], r.verdict);
        b->cycles[r.planName].add((double)(ms(r.endedAt) - at) / 1000.0);
        if (b->first.empty()) b->first = r.startedAt;
        b->last = r.startedAt;
    });
}

YieldGroup yieldGroup(const std::string &name, const std::map<std::string, Counts> &days,
                      const results::PassYieldFigures *py) {
    YieldGroup g;
    g.name = name;
    for (const auto &d : days) {
        add(&g.counts, d.second);
        g.days.push_back({d.first, d.second});
    }
    if (py) {
        g.pass.records = py->records;
        g.pass.units = py->units;
        g.pass.firstPass = py->firstPass;
        g.pass.finalPass = py->finalPass;
        g.pass.retests = py->records - py->units;
    }
    return g;
}

void yields(Store &store, const RecordFilter &f, ByRecords &b, Report *rep) {
    auto passOf = [&](results::YieldGroupBy by) {
        std::map<std::string, results::PassYieldFigures> m;
        for (const auto &p : store.passYields(f, by)) m[p.group] = p;
        return m;
    };
    std::map<std::string, Counts> allDays;
    for (const auto &p : b.planDays)
        for (const auto &d : p.second) add(&allDays[d.first], d.second);
    auto all = passOf(results::YieldGroupBy::All);
    rep->overall = yieldGroup("all records", allDays, all.empty() ? nullptr : &all.begin()->second);
    auto plans = passOf(results::YieldGroupBy::Plan), stations = passOf(results::YieldGroupBy::Station);
    for (const auto &p : b.planDays) rep->plans.push_back(yieldGroup(p.first, p.second, &plans[p.first]));
    for (const auto &s : b.stationDays) rep->stations.push_back(yieldGroup(s.first, s.second, &stations[s.first]));
    rep->operators = shareRows(std::move(b.operators), nullptr);
}

// ---- metadata: per key its values with the most records
void metadata(Store &store, const RecordFilter &f, Report *rep) {
    std::map<std::string, std::map<std::string, Counts>> byKey;
    std::map<std::string, int64_t> dropped;
    store.metadataCounts(f, [&](const results::MetadataCount &m) {
        auto &values = byKey[m.key];
        // Most records first: beyond the shown rows only ties of the last
        // one can still be shown (ties go by name).
        if (values.size() >= kMaxShareRows) {
            int64_t least = INT64_MAX;
            for (const auto &v : values) least = std::min(least, v.second.records);
            if (m.records < least) {
                dropped[m.key]++;
                return;
            }
        }
        values[m.value] = Counts{m.records, m.pass, m.fail, m.error};
    });
    for (auto &k : byKey) {
        if (rep->metadata.size() == kMaxMetadataKeys) {
            rep->otherMetadataKeys++;
            continue;
        }
        MetadataReport mr;
        mr.key = k.first;
        mr.otherValues = dropped[k.first];
        mr.values = shareRows(std::move(k.second), &mr.otherValues);
        rep->metadata.push_back(std::move(mr));
    }
}

// ---- failures by measurement
std::string seriesLabel(const SeriesKey &k) {
    return k.plan + " \u00b7 line " + std::to_string(k.line) + " \u00b7 " + k.command +
           (k.name.empty() ? std::string() : " \u00b7 " + k.name);
}

void failures(Store &store, const RecordFilter &f, Report *rep) {
    std::map<std::string, int> seriesAt;
    for (size_t i = 0; i < rep->series.size(); i++) seriesAt[seriesLabel(rep->series[i].key)] = (int)i;
    std::map<std::string, std::pair<int64_t, int64_t>> counts;  // label -> fail, error
    for (const results::FailureCount &c : store.failureCounts(f, &rep->failures.steps)) {
        auto &n = counts[seriesLabel({c.plan, c.line, c.command, c.measurement})];
        (c.verdict == Verdict::Fail ? n.first : n.second) += c.steps;
    }
    std::vector<std::pair<std::string, int64_t>> totals;
    for (const auto &c : counts) totals.emplace_back(c.first, c.second.first + c.second.second);
    rep->failures.items = pareto(totals);
    for (const ParetoItem &it : rep->failures.items) {
        rep->failures.fail.push_back(counts[it.label].first);
        rep->failures.error.push_back(counts[it.label].second);
        auto at = seriesAt.find(it.label);
        rep->failures.series.push_back(at == seriesAt.end() ? -1 : at->second);
    }
}

// ---- each measurement of each step: statistics, histogram, run chart
SeriesReport seriesFrom(const results::MeasureFigures &x) {
    SeriesReport sr;
    sr.key = x.key;
    station::MeasureInfo info = station::measureInfo(sr.key.name, sr.key.command);
    sr.kind = info.kind;
    sr.unit = info.unit;
    sr.held = x.held;
    sr.failed = x.failed;
    sr.notFinite = x.rows - x.finite;
    sr.low = x.low;
    sr.high = x.high;
    sr.limitSets = (int)x.limitSets;
    Summary &s = sr.summary;
    s.n = x.finite;
    if (s.n) {
        s.min = x.min, s.max = x.max;
        s.mean = x.sum / (double)s.n;
        // Equal values have no spread, whatever the rounding of their sum.
        if (s.min == s.max) s.mean = s.min;
        else if (s.n > 1) s.sigma = std::sqrt(std::max(0.0, x.sqDev) / (double)(s.n - 1));
    }
    // A flag's limit makes it a check, its values a share: no Cpk.
    if (sr.kind == station::MeasureKind::Limited) {
        sr.cpk = cpk(s, sr.low, sr.high);
        sr.noCpk = cpkWhyNot(s, sr.low, sr.high);
    } else {
        sr.noCpk = "not a value with limits";
    }
    return sr;
}

// Only a limited value is drawn: a flag is a share, bookkeeping a line.
void charts(Store &store, const RecordFilter &f, const Zone &zone, const std::vector<results::MeasureFigures> &figs,
            Report *rep) {
    std::vector<results::BinRequest> bins;
    std::vector<results::RunRequest> runs;
    std::vector<size_t> of;  // the series of each request
    for (size_t i = 0; i < rep->series.size(); i++) {
        SeriesReport &sr = rep->series[i];
        if (sr.kind != station::MeasureKind::Limited || sr.summary.n == 0) continue;
        sr.histogram = histogramBins(sr.summary.n, sr.summary.min, sr.summary.max, figs[i].whole);
        sr.run.resize(std::min<size_t>((size_t)sr.summary.n, kMaxRunPoints));
        bins.push_back({sr.key, sr.histogram.lo, sr.histogram.width, (int64_t)sr.histogram.counts.size()});
        runs.push_back({sr.key, sr.summary.n, (int64_t)sr.run.size()});
        of.push_back(i);
    }
    store.measureBins(f, bins, [&](size_t req, int64_t bin, int64_t n) {
        Histogram &h = rep->series[of[req]].histogram;
        if (bin >= 0 && (size_t)bin < h.counts.size()) h.counts[(size_t)bin] += n;
    });
    store.measureRuns(f, runs, [&](size_t req, int64_t k, const results::RunFigures &r) {
        std::vector<RunPoint> &run = rep->series[of[req]].run;
        if (k < 0 || (size_t)k >= run.size() || r.n == 0) return;
        run[(size_t)k] = {r.n, r.sum / (double)r.n, r.min, r.max, zone.timeOf(ms(r.firstStart))};
    });
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

void measurements(Store &store, const RecordFilter &f, const Zone &zone, Report *rep) {
    std::vector<results::MeasureFigures> figs = store.measureFigures(f);
    auto key = [](const results::MeasureFigures &x) {
        return std::tie(x.key.plan, x.key.line, x.key.command, x.key.name);
    };
    std::sort(figs.begin(), figs.end(), [&](const auto &a, const auto &b) { return key(a) < key(b); });
    for (const auto &x : figs) rep->series.push_back(seriesFrom(x));
    charts(store, f, zone, figs, rep);
    sortSeries(&rep->series);
}

// ---- cycle time per plan
void cycles(std::map<std::string, Sample> &byPlan, Report *rep) {
    for (auto &p : byPlan) {
        CycleReport c;
        c.plan = p.first;
        std::vector<double> &secs = p.second.values;
        c.summary = summarize(secs);
        c.summary.n = p.second.n;
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

// A calibrating step's rows (station::ErrorView: x, y and the two columns
// that tell a "before" row) by number, and the errors it recorded after.
struct CalPointRow {
    std::optional<double> x, y, first, exclude;
};
struct CalStepRows {
    std::map<int64_t, CalPointRow> points;     // from the step's series, by row
    std::map<int64_t, CalPointRow> oldPoints;  // from p<k>_* names (records before series), by k
    std::vector<std::pair<double, double>> afterErrors;  // (x, error)
    std::optional<double> low, high;                     // of the errors after
};

// The number a patterned name ends with after prefix ("verify_error_17.5").
bool suffixNumber(const std::string &name, const std::string &prefix, double *v) {
    size_t n = prefix.size();
    if (name.compare(0, n, prefix) != 0 || name.size() == n) return false;
    char *end = nullptr;
    *v = strtod(name.c_str() + n, &end);
    return end && *end == 0 && std::isfinite(*v);
}

void setField(CalPointRow *p, const station::ErrorView &v, const std::string &column, const char *x, double value) {
    if (column == x) p->x = value;
    else if (column == v.y) p->y = value;
    else if (column == v.first) p->first = value;
    else if (column == v.exclude) p->exclude = value;
}

// Adds one measurement of a calibrating step: an error after (the view's
// "after" name, "verify_error_<dBm>"), or one field of a row as records
// written before the step kept its rows as a series named them
// (p<k>_<column>, x as olderX).  calibration() uses the latter only for a
// step without a series.
void addCalValue(CalStepRows *st, const station::ErrorView &v, const results::MeasurementInOrder &m) {
    std::string after = v.after;
    after = after.substr(0, after.find('<'));
    double x = 0;
    if (suffixNumber(m.name, after, &x)) {
        st->afterErrors.emplace_back(x, m.value);
        st->low = m.low;
        st->high = m.high;
        return;
    }
    int n = 0;
    char field[32];
    if (sscanf(m.name.c_str(), "p%d_%31s", &n, field) == 2) setField(&st->oldPoints[n], v, field, v.olderX, m.value);
}

// Adds one value of a calibrating step's series.
void addCalPoint(CalStepRows *st, const station::ErrorView &v, const results::SeriesPointInOrder &p) {
    if (p.series != v.series || !std::isfinite(p.value)) return;
    setField(&st->points[p.row], v, p.column, v.x, p.value);
}

// Values by set power, lowest first: n, mean and range of each.
// Values by set power, each set's count, sum and range as they come.
struct Bands {
    std::map<double, Band> bySet;  // mean holds the sum until bands()
    void add(double set, double v) {
        Band &b = bySet[set];
        b.set = set;
        b.min = b.n ? std::min(b.min, v) : v;
        b.max = b.n ? std::max(b.max, v) : v;
        b.mean += v;
        b.n++;
    }
};

// Lowest set power first: n, mean and range of each.
std::vector<Band> bands(const Bands &b) {
    std::vector<Band> out;
    for (const auto &kv : b.bySet) {
        Band x = kv.second;
        // Equal values have no spread, whatever the rounding of their sum.
        x.mean = x.min == x.max ? x.min : x.mean / (double)x.n;
        out.push_back(x);
    }
    return out;
}

// What one calibrating step (plan, line) did on all its records.
struct CalCollected {
    std::string command, argument, chain;  // chain: the step's first argument
    Sample before, after;                               // signed, dB
    Bands beforeBy, afterBy;
    std::optional<double> low, high;
};

PowerErrorReport powerError(const std::string &step, CalCollected &&c) {
    PowerErrorReport p;
    p.step = step;
    p.chain = c.chain;
    p.argument = c.argument;
    p.low = c.low;
    p.high = c.high;
    std::vector<double> all = c.before.values;
    all.insert(all.end(), c.after.values.begin(), c.after.values.end());
    Histogram h = histogram(all);
    Sample absBefore(c.before.cap), absAfter(c.after.cap);
    p.bins = (int64_t)h.counts.size();
    p.binLo = h.lo;
    p.binWidth = h.width;
    auto binned = [&](const Sample &v, Sample *abs) {
        std::vector<int64_t> counts(h.counts.size(), 0);
        for (double x : v.values) {
            counts[binOf(h, x)]++;
            abs->add(std::fabs(x));
        }
        return counts;
    };
    p.beforeBins = binned(c.before, &absBefore);
    p.afterBins = binned(c.after, &absAfter);
    // A sample's figures stand for all the values it was drawn from.
    absBefore.n = c.before.n, absAfter.n = c.after.n;
    p.before = distribution("before", absBefore);
    p.after = distribution("after", absAfter);
    p.beforeBySet = bands(c.beforeBy);
    p.afterBySet = bands(c.afterBy);
    return p;
}

// ---- tester wait per plan
void testerWaits(Store &store, const RecordFilter &f, Report *rep) {
    std::map<std::string, Sample> waits;
    results::MeasurementSelect sel;
    sel.names = {"tester_wait_ms"};
    store.measurementsInOrder(f, sel, [&](const results::MeasurementInOrder &m) {
        if (std::isfinite(m.value)) waits[m.record.planName].add(m.value);
    });
    for (auto &w : waits) rep->testerWaits.push_back(distribution(w.first, w.second));
}

// ---- the error before and after each calibrating step
struct Calibrations {
    std::map<std::pair<std::string, int>, CalCollected> steps;  // (plan, line)
    std::unordered_set<uint64_t> withSeries;  // (record, line) of steps whose rows are a series

    static uint64_t stepKey(const std::string &record, int line) {
        return std::hash<std::string>()(record) * 1000003u ^ (uint64_t)line;
    }
    // One step's rows (the "before" ones) and errors after into its plan
    // step's figures.
    void add(const std::string &plan, int line, const std::string &command, const std::string &args,
             const std::map<int64_t, CalPointRow> &points, const CalStepRows *after) {
        const station::ErrorView *v = station::errorView(command);
        CalCollected &c = steps[{plan, line}];
        c.command = command;
        c.argument = v && v->argument ? v->argument : "";
        if (!args.empty()) c.chain = args.substr(0, args.find(' '));
        for (const auto &p : points) {
            const CalPointRow &q = p.second;
            // By whole units of x: a unit's first round sets powers of its own.
            if (q.x && q.y && q.first && *q.first == 1 && !(q.exclude && *q.exclude != 0)) {
                c.before.add(*q.y - *q.x);
                c.beforeBy.add(std::round(*q.x), *q.y - *q.x);
            }
        }
        if (!after) return;
        for (const auto &e : after->afterErrors) {
            c.after.add(e.second);
            c.afterBy.add(std::round(e.first), e.second);
        }
        if (!after->afterErrors.empty()) {
            c.low = after->low;
            c.high = after->high;
        }
    }
};

// The steps' series, a step at a time as they stream by.
void calibrationSeries(Store &store, const RecordFilter &f, const std::vector<std::string> &steps,
                       Calibrations *cal) {
    std::string record, plan, command, args;
    int64_t step = -1;
    int line = 0;
    CalStepRows st;
    auto flush = [&] {
        if (step >= 0 && !st.points.empty()) {
            cal->add(plan, line, command, args, st.points, nullptr);
            cal->withSeries.insert(Calibrations::stepKey(record, line));
        }
        st = CalStepRows();
    };
    store.seriesPointsInOrder(f, steps, [&](const results::SeriesPointInOrder &v) {
        if (v.recordId != record || v.stepIndex != step) {
            flush();
            record = v.recordId, plan = v.plan, command = v.command, args = v.args, step = v.stepIndex;
            line = v.line;
        }
        if (const station::ErrorView *view = station::errorView(v.command)) addCalPoint(&st, *view, v);
    });
    flush();
}

// The steps' errors after (and, in records from before series, their
// rows by name), a record at a time.
void calibrationMeasurements(Store &store, const RecordFilter &f, const std::vector<std::string> &commands,
                             Calibrations *cal) {
    std::string record, plan;
    struct Step {
        std::string command, args;
        CalStepRows rows;
    };
    std::map<int, Step> steps;  // by line
    auto flush = [&] {
        for (auto &s : steps) {
            bool series = cal->withSeries.count(Calibrations::stepKey(record, s.first)) != 0;
            static const std::map<int64_t, CalPointRow> none;
            cal->add(plan, s.first, s.second.command, s.second.args, series ? none : s.second.rows.oldPoints,
                     &s.second.rows);
        }
        steps.clear();
    };
    results::MeasurementSelect sel;
    sel.commands = commands;
    store.measurementsInOrder(f, sel, [&](const results::MeasurementInOrder &m) {
        if (m.record.id != record) {
            flush();
            record = m.record.id, plan = m.record.planName;
        }
        const station::ErrorView *view = station::errorView(m.command);
        if (!view || !std::isfinite(m.value)) return;
        Step &st = steps[m.line];
        st.command = m.command, st.args = m.args;
        addCalValue(&st.rows, *view, m);
    });
    flush();
}

void calibration(Store &store, const RecordFilter &f, Report *rep) {
    std::vector<std::string> steps = station::errorViewSteps();
    if (steps.empty()) return;
    Calibrations cal;
    calibrationSeries(store, f, steps, &cal);
    calibrationMeasurements(store, f, steps, &cal);
    for (auto &s : cal.steps) {
        std::string step = s.first.first + " \u00b7 line " + std::to_string(s.first.second) + " \u00b7 " +
                           s.second.command;
        rep->powerErrors.push_back(powerError(step, std::move(s.second)));
    }
}

}  // namespace

Report aggregate(Store &store, const RecordFilter &f, const Zone &zone) {
    Report rep;
    rep.zone = zone.name();
    ByRecords b;
    readRecords(store, f, zone, &b);
    rep.records = b.all.records;
    if (!b.first.empty()) {
        rep.firstStart = zone.timeOf(ms(b.first));
        rep.lastStart = zone.timeOf(ms(b.last));
    }
    if (!rep.records) return rep;
    yields(store, f, b, &rep);
    metadata(store, f, &rep);
    measurements(store, f, zone, &rep);
    failures(store, f, &rep);
    cycles(b.cycles, &rep);
    testerWaits(store, f, &rep);
    calibration(store, f, &rep);
    rep.golden = goldenPorts(store, f);
    rep.stepSeries = stepSeriesCharts(store, f);
    return rep;
}

std::vector<results::YieldRow> yieldByPlanDay(Store &store, const RecordFilter &f, const Zone &zone) {
    // Records come oldest first, so a zone's day is done when the next
    // begins: only one day's serials are held at a time.
    std::map<std::pair<std::string, std::string>, results::YieldRow> rows;
    std::map<std::string, std::set<std::string>> units;  // plan -> serials of the current day
    std::string day;
    auto closeDay = [&] {
        for (auto &u : units) rows[{u.first, day}].units = (int64_t)u.second.size();
        units.clear();
    };
    store.recordsInOrder(f, [&](const results::RecordSummary &r) {
        std::string d = zone.dayOf(ms(r.startedAt));
        if (d != day) closeDay(), day = d;
        units[r.planName].insert(r.serial);
        results::YieldRow &y = rows[{r.planName, d}];
        y.plan = r.planName;
        y.day = d;
        y.records++;
        (r.verdict == Verdict::Pass ? y.pass : r.verdict == Verdict::Fail ? y.fail : y.error)++;
    });
    closeDay();
    std::vector<results::YieldRow> out;
    for (auto &r : rows) out.push_back(r.second);
    return out;
}

}  // namespace report
