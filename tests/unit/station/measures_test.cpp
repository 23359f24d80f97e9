// Figures as people read them: every recorded name at its resolution with
// its unit, patterned pa-cal names included, and the verdict lines built
// from them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "station/args/limits.h"
#include "station/measures.h"
#include "station/series.h"

using namespace station;

namespace {

TEST(Measures, ValuesAtTheirResolutionWithTheirUnit) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct {
        const char *name;
        double value;
        const char *text;
    } cases[] = {
        // tx-measure, rx-per, pa-read
        {"power", 7.839, "7.84 dBm"},
        {"power_error", -0.161, "-0.16 dB"},
        {"evm", -36.921, "-36.9 dB"},
        {"freq_error", -26.029, "-26.03 ppm"},
        {"per", 0.5, "0.50 %"},
        {"count", 1990, "1990"},
        {"pa2", 6702, "6702"},
        {"applied_power", 17.5, "17.50 dBm"},
        // the bookkeeping of tester steps: a resolution of 1 has no point
        {"tester_wait_ms", 1052.0230000000001, "1052 ms"},
        {"path_loss", 2.3456, "2.35 dB"},
        // pa-cal, its patterned names too
        {"residual", 0.08715469770157983, "0.087 dB"},
        {"verify_error", 0.33815555555555576, "0.34 dB"},
        {"verify_error_12.5", -0.125, "-0.13 dB"},
        {"verify_error_8", 0.004, "0.00 dB"},
        {"power_error_17.25", 0.125, "0.13 dB"},
        {"pa12", 412, "412"},
        {"range_error_at", 13.25, "13.3 dBm"},
        // pa-cal's points are its series now: the names older records
        // gave them are not declared
        {"p3_measured", 7.845, "7.845"},
        {"pa1_before", -372, "-372"},
        {"monotonic", 0, "0"},
        {"rounds", 1, "1"},
        // .5 as the value reads, not as its binary form (1.005 is 1.00499...)
        {"power_error", 1.005, "1.01 dB"},
        {"power", -2.675, "-2.68 dBm"},
        {"count", 999.5, "1000"},
        {"count", -0.5, "-1"},
        {"evm", -9.96, "-10.0 dB"},
        // no negative zero
        {"freq_error", -0.004, "0.00 ppm"},
        {"count", -0.4, "0"},
        // names this station does not declare: no unit, up to 3 decimals
        {"gain", 0.25, "0.25"},
        {"gain", 3.0, "3"},
        {"gain", -1.23456, "-1.235"},
        {"gain", -0.0004, "0"},
        {"p_measured", 7.839, "7.839"},
        {"p1x_measured", 7.839, "7.839"},
        {"verify_error_x", 0.338155, "0.338"},
        {"pa1_before_x", 5.5, "5.5"},
        // what is not a number stays so
        {"power", nan, "nan dBm"},
        {"evm", -std::numeric_limits<double>::infinity(), "-inf dB"},
    };
    for (const auto &c : cases) EXPECT_EQ(measureText(c.name, c.value), c.text) << c.name << " " << c.value;
    // A mean or a spread one digit finer.
    EXPECT_EQ(measureText("power", 7.8391, 1), "7.839 dBm");
    EXPECT_EQ(measureText("count", 999.55, 1), "999.6");
}

TEST(Measures, KindsAndResolutions) {
    struct {
        const char *name;
        MeasureKind kind;
        double resolution;
        bool known;
    } cases[] = {
        {"power", MeasureKind::Limited, 0.01, true},
        {"evm", MeasureKind::Limited, 0.1, true},
        {"verify_error_20", MeasureKind::Limited, 0.01, true},
        {"residual", MeasureKind::Limited, 0.001, true},
        {"determined", MeasureKind::Flag, 1, true},
        {"safe_start", MeasureKind::Flag, 1, true},
        {"tester_wait_ms", MeasureKind::Bookkeeping, 1, true},
        {"pa10", MeasureKind::Bookkeeping, 1, true},
        {"p4_verify", MeasureKind::Bookkeeping, 0.001, false},
        {"applied_power_17", MeasureKind::Bookkeeping, 0.001, false},
        {"rounds", MeasureKind::Bookkeeping, 1, true},
        {"older_name", MeasureKind::Bookkeeping, 0.001, false},
    };
    for (const auto &c : cases) {
        MeasureInfo m = measureInfo(c.name);
        EXPECT_EQ(m.kind, c.kind) << c.name;
        EXPECT_DOUBLE_EQ(measureResolution(m), c.resolution) << c.name;
        EXPECT_EQ(m.known, c.known) << c.name;
    }
}

// The verdict line: the value rounded with its unit, the limits as the plan
// gave them; a value that rounds onto the limit it missed keeps its digits,
// or the line would read "21.00 dBm above 21 dBm".
TEST(Measures, VerdictLines) {
    struct {
        Measured m;
        const char *line;
    } cases[] = {
        {{"power", 7.839, {true, true, 5, 21}, Verdict::Pass}, "power 7.84 dBm in 5..21 dBm"},
        {{"power", 7.839, {false, false, 0, 0}, Verdict::Pass}, "power 7.84 dBm"},
        {{"evm", -36.921, {false, true, 0, -25}, Verdict::Pass}, "evm -36.9 dB, at most -25 dB"},
        {{"freq_error", -26.029, {true, true, -20, 20}, Verdict::Fail}, "freq_error -26.03 ppm below -20 ppm"},
        {{"per", 96.4, {false, true, 0, 10}, Verdict::Fail}, "per 96.40 % above 10 %"},
        {{"residual", 0.08715469770157983, {false, true, 0, 0.25}, Verdict::Pass},
         "residual 0.087 dB, at most 0.25 dB"},
        {{"count", 4021, {true, false, 3800, 0}, Verdict::Pass}, "count 4021, at least 3800"},
        {{"power", 21.004, {true, true, 5, 21}, Verdict::Fail}, "power 21.004 dBm above 21 dBm"},
        {{"power", 4.996, {true, true, 5, 21}, Verdict::Fail}, "power 4.996 dBm below 5 dBm"},
        {{"power", 5.005, {false, true, 0, 5.005}, Verdict::Pass}, "power 5.005 dBm, at most 5.005 dBm"},
        {{"power", std::nan(""), {true, true, 5, 21}, Verdict::Fail}, "power nan dBm above 21 dBm"},
    };
    for (const auto &c : cases) {
        char d[160];
        describeMeasured(c.m, d, sizeof d);
        EXPECT_STREQ(d, c.line);
    }
}

}  // namespace

namespace {

// The steps' series as whoever draws a stored one looks them up: by step
// and name, with the x column, the y columns with their units and the
// measurement whose limits hold them; a series no step declares is null.
TEST(Series, DeclarationsByStepAndName) {
    struct {
        const char *step, *series, *x, *xUnit, *y, *yUnit, *limit;
    } cases[] = {
        {"rx-sweep", "per", "level", "dBm", "per", "%", "per"},
        {"tx-sweep", "points", "set_power", "dBm", "power_error", "dB", "power_error_<dBm>"},
        {"pa-cal", "points", "set_power", "dBm", "measured", "dBm", nullptr},
        {"pa-cal", "range", "set_power", "dBm", "predicted_error", "dB", "range_error"},
    };
    for (const auto &c : cases) {
        const SeriesDecl *d = seriesDecl(c.step, c.series);
        ASSERT_NE(d, nullptr) << c.step << " " << c.series;
        ASSERT_GE(d->x(), 0);
        EXPECT_STREQ(d->columns[d->x()].name, c.x);
        EXPECT_STREQ(d->columns[d->x()].unit, c.xUnit);
        int y = d->column(c.y);
        ASSERT_GE(y, 0) << c.y;
        EXPECT_EQ(d->columns[y].role, SeriesRole::Y);
        EXPECT_STREQ(d->columns[y].unit, c.yUnit);
        EXPECT_STREQ(d->columns[y].limit ? d->columns[y].limit : "", c.limit ? c.limit : "");
        // The limit names a measurement the step declares (a pattern: any point's).
        std::string limit = c.limit ? c.limit : "";
        if (size_t at = limit.find("<dBm>"); at != std::string::npos) limit.replace(at, 5, "17");
        if (c.limit) EXPECT_TRUE(measureInfo(limit, c.step).known) << limit;
    }
    EXPECT_EQ(seriesDecl("rx-per", "per"), nullptr);
    EXPECT_EQ(seriesDecl("rx-sweep", "points"), nullptr);
    size_t n;
    stepSeries("pa-cal", &n);
    EXPECT_EQ(n, 2u);
}

}  // namespace
