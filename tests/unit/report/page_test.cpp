// What the page makes of a step's measurements by their declared kind,
// where a slip misleads an engineer: a Cpk on a pass/fail flag,
// bookkeeping among the figures, failures named by step only with FAIL
// and ERROR merged; and the charts' counts and labels.
#include <gtest/gtest.h>

#include <cmath>

#include "report/aggregate.h"
#include "report/charts.h"
#include "report/html.h"
#include "report/svg.h"
#include "report_store.h"
#include "station/measures.h"

using namespace report;
using station::MeasureKind;

namespace {

constexpr station::MeasureDecl kDecls[] = {
    {"level", "dBm", 2, MeasureKind::Limited},
    {"locked", "", 0, MeasureKind::Flag},
    {"code", "", 0, MeasureKind::Bookkeeping},
};

size_t countOf(const std::string &page, const std::string &what) {
    size_t n = 0;
    for (size_t p = page.find(what); p != std::string::npos; p = page.find(what, p + 1)) n++;
    return n;
}

}  // namespace

TEST(ReportPage, MeasurementsByKindAndFailuresByMeasurement) {
    station::declareStepMeasures("t-meas", kDecls, 3);
    report_test::ReportStore rs(4);
    const double level5[] = {10, 14.5, 10.2, 10.1}, level6[] = {10, 10.1, 10.2, 10.1};
    for (uint32_t i = 0; i < 4; i++) {
        rs.measure(i, 5, "t-meas", "code", 40.0 + i);
        rs.measure(i, 5, "t-meas", "level", level5[i], 9.0, 11.0);
        rs.measure(i, 5, "t-meas", "locked", i == 3 ? 0.0 : 1.0, 1.0);
        rs.measure(i, 6, "t-meas", "level", level6[i], 9.0, 11.0);
    }
    // Record 1 fails on line 5's level, record 3 on its flag; record 2's
    // step 5 is an ERROR without a failing measurement.
    rs.step(2, 5, "t-meas").error = "no reply";
    Report r = aggregate(rs.store(), {}, Zone::select("UTC"));

    struct Want {
        int line;
        const char *name;
        MeasureKind kind;
        bool cpk;
    };
    // In page order: values with limits worst Cpk first, then the flag,
    // then bookkeeping.
    const Want want[] = {{5, "level", MeasureKind::Limited, true},
                         {6, "level", MeasureKind::Limited, true},
                         {5, "locked", MeasureKind::Flag, false},
                         {5, "code", MeasureKind::Bookkeeping, false}};
    ASSERT_EQ(r.series.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(r.series[i].key.line, want[i].line);
        EXPECT_EQ(r.series[i].key.name, want[i].name);
        EXPECT_EQ(r.series[i].kind, want[i].kind);
        EXPECT_EQ(r.series[i].cpk.has_value(), want[i].cpk);
    }
    EXPECT_EQ(r.series[2].held, 3);

    struct Item {
        const char *label;
        int64_t fail, error;
        int series;
    };
    const Item items[] = {{"p \u00b7 line 5 \u00b7 t-meas", 0, 1, -1},
                          {"p \u00b7 line 5 \u00b7 t-meas \u00b7 level", 1, 0, 0},
                          {"p \u00b7 line 5 \u00b7 t-meas \u00b7 locked", 1, 0, 2}};
    ASSERT_EQ(r.failures.items.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(r.failures.items[i].label, items[i].label);
        EXPECT_EQ(r.failures.fail[i], items[i].fail) << items[i].label;
        EXPECT_EQ(r.failures.error[i], items[i].error) << items[i].label;
        EXPECT_EQ(r.failures.series[i], items[i].series) << items[i].label;
    }

    std::string page = htmlPage(r);
    EXPECT_EQ(countOf(page, "<div class=\"measurement\" id=\"m"), 2u);  // the two levels, charted
    EXPECT_EQ(countOf(page, "data-cpk="), 2u);
    EXPECT_EQ(countOf(page, "<tr id=\"m2\" class=\"flag\">"), 1u);        // the flag, a pass rate
    size_t appendix = page.find("<details id=\"appendix\">");
    ASSERT_NE(appendix, std::string::npos);
    EXPECT_GT(page.find("<tr id=\"m3\">"), appendix);                     // bookkeeping, collapsed
}

// Counts have whole ticks; labels wrap to their room, whole characters.
TEST(ReportCharts, CountTicksAndWrappedLabels) {
    for (double most : {1.0, 2.0, 3.0, 7.0, 40.0, 1234.0}) {
        std::vector<double> t = countTicks(most);
        SCOPED_TRACE(most);
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t.front(), 0);
        EXPECT_GE(t.back(), most);
        for (double v : t) EXPECT_EQ(v, std::floor(v));
    }
    struct Case {
        std::string text;
        size_t max, lines;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"short", 20, 3, {"short"}},
        {"line-cal.plan \u00b7 line 20 \u00b7 tx-measure \u00b7 freq_error", 24, 3,
         {"line-cal.plan \u00b7 line", "20 \u00b7 tx-measure \u00b7", "freq_error"}},
        {std::string(30, 'x'), 12, 3, {std::string(12, 'x'), std::string(12, 'x'), std::string(6, 'x')}},
        {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
         "\u00e9\u00e9\u00e9",
         8, 2, {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u2026"}},
    };
    for (const Case &c : cases) EXPECT_EQ(wrapText(c.text, c.max, c.lines), c.want) << c.text;
}
