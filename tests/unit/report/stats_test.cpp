// The report's figures where a slip is easy and costly: Cpk, histogram
// edges, the Pareto order, first-pass against final yield, the day a
// record falls on in a time zone, and the distributions picked out of
// named measurements (tester wait, power error around calibration).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "report_store.h"
#include "station/series.h"
#include "report/aggregate.h"
#include "report/html.h"
#include "report/stats.h"
#include "report/svg.h"
#include "report/zone.h"

using namespace report;
using results::Verdict;


TEST(ReportStats, Cpk) {
    struct Case {
        const char *what;
        std::vector<double> values;
        std::optional<double> low, high, expected;
    };
    // 9, 10, 11: mean 10, sample sigma 1.
    const Case cases[] = {
        {"two limits, the nearer one counts", {9, 10, 11}, 4.0, 19.0, 2.0},
        {"low limit only", {9, 10, 11}, 7.0, std::nullopt, 1.0},
        {"high limit only", {9, 10, 11}, std::nullopt, 11.0, 1.0 / 3},
        {"mean outside a limit: negative", {9, 10, 11}, 11.5, 20.0, -0.5},
        {"no limits: none", {9, 10, 11}, std::nullopt, std::nullopt, std::nullopt},
        {"one value: none", {10}, 0.0, 20.0, std::nullopt},
        // No spread: no Cpk at all (a ratio over zero says nothing), even
        // where rounding the mean of equal values leaves a sigma of 1e-17.
        {"no spread inside the limits", {5, 5, 5}, 0.0, 10.0, std::nullopt},
        {"no spread outside the limits", {12, 12}, 0.0, 10.0, std::nullopt},
        {"no spread, on the limit, mean rounded", {0.1, 0.1, 0.1}, std::nullopt, 0.1, std::nullopt},
        {"no spread, far from zero", {1e9 + 0.3, 1e9 + 0.3, 1e9 + 0.3}, 0.0, 2e9, std::nullopt},
    };
    for (const Case &c : cases) {
        Summary s = summarize(c.values);
        auto got = cpk(s, c.low, c.high);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
        // Each missing Cpk says why; a present one has no excuse.
        EXPECT_EQ(cpkWhyNot(s, c.low, c.high).empty(), got.has_value()) << c.what;
        if (got) {
            if (std::isinf(*c.expected))
                EXPECT_EQ(*got, *c.expected) << c.what;
            else
                EXPECT_NEAR(*got, *c.expected, 1e-12) << c.what;
        }
    }
    // Far from zero, sigma keeps its digits (no sum-of-squares cancellation).
    Summary big = summarize({1e9 + 1, 1e9 + 2, 1e9 + 3});
    EXPECT_DOUBLE_EQ(big.sigma, 1.0);
    EXPECT_DOUBLE_EQ(big.mean, 1e9 + 2);
}

TEST(ReportStats, HistogramBinsAndEdges) {
    struct Case {
        const char *what;
        std::vector<double> values;
        size_t maxBins;
        double lo, width;
        std::vector<int64_t> counts;
    };
    const Case cases[] = {
        {"no values, no bins", {}, 40, 0, 1, {}},
        {"one distinct value: one bin around it", {7, 7, 7}, 40, 6.5, 1, {3}},
        // 8 values: 4 bins; whole numbers 1..8 get width 2 with edges at halves.
        {"whole numbers", {1, 2, 3, 4, 5, 6, 7, 8}, 40, 0.5, 2, {2, 2, 2, 2}},
        // 5 values: 4 bins wanted over 11 integers: width 3, 4 bins 949.5 .. 961.5.
        {"whole numbers, wider span", {950, 951, 955, 958, 960}, 40, 949.5, 3, {2, 1, 1, 1}},
        // Real values: the maximum lands in the last bin, a value on an inner
        // edge in the upper bin.
        {"real values, edges", {0, 1, 2.5, 3}, 40, 0, 1, {1, 1, 2}},
        {"capped bin count", {0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5}, 2, 0.5, 3.5, {4, 4}},
    };
    for (const Case &c : cases) {
        Histogram h = histogram(c.values, c.maxBins);
        EXPECT_EQ(h.counts, c.counts) << c.what;
        if (c.counts.empty()) continue;
        EXPECT_DOUBLE_EQ(h.lo, c.lo) << c.what;
        EXPECT_DOUBLE_EQ(h.width, c.width) << c.what;
        int64_t total = 0;
        for (int64_t n : h.counts) total += n;
        EXPECT_EQ(total, (int64_t)c.values.size()) << c.what;
    }
    // 100,000 values: Sturges' 18 bins, never more than the cap.
    std::vector<double> many;
    for (int i = 0; i < 100000; i++) many.push_back(std::sin(i) * 3.7);
    EXPECT_EQ(histogram(many).counts.size(), 18u);
}

TEST(ReportStats, ParetoOrderAndCumulativeShare) {
    auto p = pareto({{"smoke 5 rx", 2}, {"factory 7 pa-read", 5}, {"factory 5 rx", 2}, {"never", 0}, {"factory 3 set-channel", 1}});
    ASSERT_EQ(p.size(), 4u);  // a step that never failed is not a bar
    const char *order[] = {"factory 7 pa-read", "factory 5 rx", "smoke 5 rx", "factory 3 set-channel"};
    const double cumulative[] = {0.5, 0.7, 0.9, 1.0};
    for (size_t i = 0; i < p.size(); i++) {
        EXPECT_EQ(p[i].label, order[i]);
        EXPECT_NEAR(p[i].cumulative, cumulative[i], 1e-12) << order[i];
    }
    EXPECT_NEAR(p[0].share, 0.5, 1e-12);
    EXPECT_TRUE(pareto({}).empty());
}

TEST(ReportStats, FirstPassAndFinalYield) {
    struct Case {
        const char *what;
        std::vector<std::pair<std::string, Verdict>> tests;
        int64_t units, firstPass, finalPass, retests;
    };
    const Case cases[] = {
        {"a retest that passes counts for the final yield only",
         {{"A", Verdict::Fail}, {"B", Verdict::Pass}, {"A", Verdict::Pass}, {"C", Verdict::Error}},
         3, 1, 2, 1},
        {"a unit that passed, then failed, ends failed",
         {{"A", Verdict::Pass}, {"A", Verdict::Fail}}, 1, 1, 0, 1},
        {"ERROR is not a pass", {{"A", Verdict::Error}, {"A", Verdict::Error}, {"A", Verdict::Pass}}, 1, 0, 1, 2},
        {"nothing", {}, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        PassYield y = passYield(c.tests);
        EXPECT_EQ(y.records, (int64_t)c.tests.size()) << c.what;
        EXPECT_EQ(y.units, c.units) << c.what;
        EXPECT_EQ(y.firstPass, c.firstPass) << c.what;
        EXPECT_EQ(y.finalPass, c.finalPass) << c.what;
        EXPECT_EQ(y.retests, c.retests) << c.what;
    }
}

TEST(ReportZone, DayBoundaries) {
    struct Case {
        const char *zone, *utc, *day;
    };
    const Case cases[] = {
        {"UTC", "2024-05-01T23:59:59.999Z", "2024-05-01"},
        {"Etc/UTC", "2024-05-02T00:00:00.000Z", "2024-05-02"},
        // Summer time UTC+2: the day starts at 22:00 UTC the day before.
        {"Europe/Berlin", "2024-05-01T21:59:59.999Z", "2024-05-01"},
        {"Europe/Berlin", "2024-05-01T22:00:00.000Z", "2024-05-02"},
        // Winter time UTC+1.
        {"Europe/Berlin", "2024-01-15T22:59:59.999Z", "2024-01-15"},
        {"Europe/Berlin", "2024-01-15T23:00:00.000Z", "2024-01-16"},
        // West of UTC, a half-hour offset: UTC-2:30 in summer.
        {"America/St_Johns", "2024-07-02T02:29:59.999Z", "2024-07-01"},
        {"America/St_Johns", "2024-07-02T02:30:00.000Z", "2024-07-02"},
        // A POSIX rule, as TZ may hold one.
        {"CET-1CEST,M3.5.0,M10.5.0/3", "2024-05-01T22:00:00.000Z", "2024-05-02"},
        {"<+0530>-5:30", "2024-05-01T18:29:59.999Z", "2024-05-01"},
        {"<+0530>-5:30", "2024-05-01T18:30:00.000Z", "2024-05-02"},
    };
    for (const Case &c : cases) {
        Zone z = Zone::select(c.zone);
        int64_t ms = 0;
        ASSERT_TRUE(parseUtcMs(c.utc, &ms)) << c.utc;
        EXPECT_EQ(z.dayOf(ms), c.day) << c.zone << " " << c.utc;
    }
    // The day of a clock change is 23 hours long, and --since/--until
    // bounds follow it.
    Zone berlin = Zone::select("Europe/Berlin");
    EXPECT_EQ(berlin.name(), "Europe/Berlin");
    EXPECT_EQ(results::formatUtc(berlin.startOfDay("2024-03-31")), "2024-03-30T23:00:00.000Z");
    EXPECT_EQ(results::formatUtc(berlin.startOfDay(nextDay("2024-03-31"))), "2024-03-31T22:00:00.000Z");
    EXPECT_EQ(nextDay("2024-02-28"), "2024-02-29");
    EXPECT_EQ(nextDay("2024-12-31"), "2025-01-01");
    EXPECT_EQ(Zone::select("Etc/UTC").name(), "UTC");

    // A zone the system does not know is refused, not taken as UTC.
    for (const char *bad : {"Mars/Olympus", "Europe/../../etc/passwd", "/etc/passwd", "Europe", "NOPE",
                            "CET-1CEST,M3.5.0"})
        EXPECT_THROW(Zone::select(bad), results::InvalidInput) << bad;
}

TEST(ReportText, EscapedForHtml) {
    EXPECT_EQ(escape("<script>alert('x')</script> & \"q\""),
              "&lt;script&gt;alert(&apos;x&apos;)&lt;/script&gt; &amp; &quot;q&quot;");
    // Not UTF-8 and control characters become U+FFFD; UTF-8 stays.
    EXPECT_EQ(escape(std::string("a\xff" "b\x01" "c\xc3\xa9", 7)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xc3\xa9");
}

// A calibrating step as pa-cal declares itself (station/series.h).
constexpr station::ErrorView kCalView = {"points", "set_power", "measured", "round", "verify",
                                         "verify_error_<dBm>", "set", "chain"};
void declareCalStep() {
    if (!station::errorView("t-cal")) station::declareErrorView("t-cal", &kCalView);
}

// Distributions picked out of steps' measurements by name: the tester wait
// per plan, and per pa-cal step the first round's |measured - set| (not
// later rounds, not verify points) against the last verify's |error|.
TEST(ReportAggregate, NamedDistributions) {
    struct M {
        uint32_t record;
        int line;
        const char *command, *name;
        double value;
    };
    struct Case {
        const char *what;
        std::vector<M> rows;
        std::vector<double> waits;          // sorted, one plan "p"
        std::vector<double> before, after;  // sorted, one pa-cal step
    };
    const Case cases[] = {
        {"tester wait",
         {{0, 2, "tx-measure", "tester_wait_ms", 30}, {0, 3, "rx-per", "tester_wait_ms", 10},
          {1, 2, "tx-measure", "tester_wait_ms", 20}, {1, 2, "tx-measure", "power", 18}},
         {10, 20, 30}, {}, {}},
        {"power error",
         {{0, 4, "t-cal", "p1_set", 14}, {0, 4, "t-cal", "p1_measured", 15.5}, {0, 4, "t-cal", "p1_round", 1},
          {0, 4, "t-cal", "p1_verify", 0}, {0, 4, "t-cal", "p2_set", 20}, {0, 4, "t-cal", "p2_measured", 19.25},
          {0, 4, "t-cal", "p2_round", 1}, {0, 4, "t-cal", "p2_verify", 0},
          // round 2: a refit's point, then a verify point
          {0, 4, "t-cal", "p3_set", 17}, {0, 4, "t-cal", "p3_measured", 20}, {0, 4, "t-cal", "p3_round", 2},
          {0, 4, "t-cal", "p3_verify", 0}, {0, 4, "t-cal", "p4_set", 17}, {0, 4, "t-cal", "p4_measured", 27},
          {0, 4, "t-cal", "p4_round", 2}, {0, 4, "t-cal", "p4_verify", 1},
          {0, 4, "t-cal", "verify_error_17", -0.25}, {0, 4, "t-cal", "verify_error_20", 0.125},
          {1, 4, "t-cal", "p1_set", 14}, {1, 4, "t-cal", "p1_measured", 11}, {1, 4, "t-cal", "p1_round", 1},
          {1, 4, "t-cal", "p1_verify", 0}, {1, 4, "t-cal", "verify_error_17", 0.5}},
         {}, {0.75, 1.5, 3}, {0.125, 0.25, 0.5}},
    };
    declareCalStep();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        report_test::ReportStore rs(2);
        for (const M &m : c.rows) rs.measure(m.record, m.line, m.command, m.name, m.value);
        Report r = aggregate(rs.store(), {}, Zone::select("UTC"));
        ASSERT_EQ(r.testerWaits.size(), c.waits.empty() ? 0u : 1u);
        if (!c.waits.empty()) {
            EXPECT_EQ(r.testerWaits[0].name, "p");
            EXPECT_EQ(r.testerWaits[0].summary.n, (int64_t)c.waits.size());
            EXPECT_DOUBLE_EQ(r.testerWaits[0].median, c.waits[c.waits.size() / 2]);
            EXPECT_DOUBLE_EQ(r.testerWaits[0].summary.max, c.waits.back());
        }
        ASSERT_EQ(r.powerErrors.size(), c.before.empty() ? 0u : 1u);
        if (!c.before.empty()) {
            const PowerErrorReport &p = r.powerErrors[0];
            EXPECT_EQ(p.step, "p \u00b7 line 4 \u00b7 t-cal");
            for (auto [dist, want] : {std::make_pair(&p.before, &c.before), std::make_pair(&p.after, &c.after)}) {
                EXPECT_EQ(dist->summary.n, (int64_t)want->size()) << dist->name;
                EXPECT_DOUBLE_EQ(dist->median, (*want)[want->size() / 2]) << dist->name;
                EXPECT_DOUBLE_EQ(dist->summary.max, want->back()) << dist->name;
            }
        }
    }
}

// A pa-cal step's points give the same figures whether its record names
// them p<k>_* (records before series) or keeps them as its series "points";
// a step with a series ignores such names.
TEST(ReportAggregate, CalibrationFromSeriesOrOldNames) {
    struct Point {
        uint32_t record;
        double set, measured, round, verify;
    };
    const Point points[] = {{0, 14, 15.5, 1, 0}, {0, 20, 19.25, 1, 0}, {0, 17, 20, 2, 0}, {0, 17, 27, 2, 1},
                            {1, 14, 11, 1, 0},   {1, 5, 5.75, 1, 0},   {1, 5.2, 5.1, 2, 1}};
    enum Form { OldNames, Series, Both };
    declareCalStep();
    auto report = [&](Form form) {
        report_test::ReportStore rs(2);
        results::Series series[2];
        for (results::Series &x : series) {
            x.name = "points";
            for (const char *col : {"set_power", "measured", "round", "verify"}) x.columns.push_back({col, ""});
        }
        int64_t row[2] = {0, 0};
        for (const Point &p : points) {
            int64_t k = row[p.record]++;
            if (form != OldNames) series[p.record].rows.push_back({p.set, p.measured, p.round, p.verify});
            const std::pair<const char *, double> fields[] = {
                {"set", p.set}, {"measured", p.measured}, {"round", p.round}, {"verify", p.verify}};
            // Names that contradict the series: a step with both reads the series.
            for (const auto &f : fields)
                if (form != Series)
                    rs.measure(p.record, 4, "t-cal", "p" + std::to_string(k + 1) + "_" + f.first,
                               form == Both ? f.second + 100 : f.second);
        }
        for (uint32_t i = 0; i < 2; i++) {
            rs.step(i, 4, "t-cal").args = {"0"};
            if (form != OldNames) rs.step(i, 4, "t-cal").series.push_back(series[i]);
        }
        rs.measure(0, 4, "t-cal", "verify_error_17", -0.25, -0.4, 0.4);
        rs.measure(0, 4, "t-cal", "verify_error_20", 0.125, -0.4, 0.4);
        rs.measure(1, 4, "t-cal", "verify_error_5", 0.375, -0.3, 0.3);
        return aggregate(rs.store(), {}, Zone::select("UTC"));
    };
    Report old = report(OldNames);
    ASSERT_EQ(old.powerErrors.size(), 1u);
    const PowerErrorReport &want = old.powerErrors[0];
    EXPECT_EQ(want.before.summary.n, 4);  // the first round's points
    EXPECT_DOUBLE_EQ(want.before.summary.max, 3);
    for (Form form : {Series, Both}) {
        SCOPED_TRACE(form == Series ? "series" : "series and old names");
        Report r = report(form);
        ASSERT_EQ(r.powerErrors.size(), 1u);
        const PowerErrorReport &got = r.powerErrors[0];
        EXPECT_EQ(got.chain, want.chain);
        for (auto [g, w] : {std::make_pair(&got.before, &want.before), std::make_pair(&got.after, &want.after)}) {
            EXPECT_EQ(g->summary.n, w->summary.n);
            EXPECT_DOUBLE_EQ(g->summary.mean, w->summary.mean);
            EXPECT_DOUBLE_EQ(g->median, w->median);
            EXPECT_DOUBLE_EQ(g->summary.max, w->summary.max);
        }
        EXPECT_EQ(got.beforeBins, want.beforeBins);
        EXPECT_EQ(got.afterBins, want.afterBins);
        ASSERT_EQ(got.beforeBySet.size(), want.beforeBySet.size());
        for (size_t i = 0; i < got.beforeBySet.size(); i++) {
            EXPECT_EQ(got.beforeBySet[i].set, want.beforeBySet[i].set);
            EXPECT_DOUBLE_EQ(got.beforeBySet[i].mean, want.beforeBySet[i].mean);
        }
        EXPECT_EQ(got.low, want.low);
        EXPECT_EQ(got.high, want.high);
    }
}

// A factory's store names hundreds of stations: beyond kMaxGroupCharts the
// page shows their table only, so that its size does not grow with a day
// chart per station (700 stations made a page of almost 1 MB).
TEST(ReportPage, ManyStationsCollapseToTheirTable) {
    auto group = [](const std::string &name) {
        YieldGroup g;
        g.name = name;
        g.counts.records = g.counts.pass = 2;
        g.days = {{"2026-12-07", g.counts}, {"2026-12-08", g.counts}};
        return g;
    };
    auto countOf = [](const std::string &page, const std::string &what) {
        size_t n = 0;
        for (size_t p = page.find(what); p != std::string::npos; p = page.find(what, p + 1)) n++;
        return n;
    };
    struct Case {
        size_t stations, charts;  // charts: station day charts on the page
        bool collapsed;
    };
    const Case cases[] = {{2, 2, false}, {kMaxGroupCharts, kMaxGroupCharts, false},
                          {kMaxGroupCharts + 1, 0, true}, {700, 0, true}};
    for (const Case &c : cases) {
        Report r;
        r.zone = "UTC";
        r.overall = group("all");
        r.overall.counts.records = r.overall.counts.pass = (int64_t)c.stations * 2;
        r.plans = {group("a.plan")};
        for (size_t i = 0; i < c.stations; i++) r.stations.push_back(group("st-" + std::to_string(i)));
        std::string page = htmlPage(r);
        SCOPED_TRACE(c.stations);
        EXPECT_EQ(countOf(page, "<div><div class=\"meta\">st-"), c.charts);
        EXPECT_EQ(page.find("id=\"per-station\"") != std::string::npos, c.collapsed);
        // The table By station names every one of them either way.
        EXPECT_EQ(countOf(page, ">st-"), c.stations + c.charts);
    }
}
