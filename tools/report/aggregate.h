// The HTML report's model: every figure the page shows, computed by the
// store (results/aggregates.h) or from the few kinds of rows it streams in
// record order.  No per-record data is kept: the page's size, and the
// report's memory, depend on the number of days, plans, stations, steps
// and measurements, not on the number of records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "results/aggregates.h"
#include "results/store.h"
#include "report/stats.h"
#include "report/zone.h"
#include "results/report.h"
#include "station/measures.h"

namespace report {

// One measurement of a plan step: (plan, line, command, name).
using SeriesKey = results::MeasureKey;

struct Counts {
    int64_t records = 0, pass = 0, fail = 0, error = 0;
    double yield() const { return records ? (double)pass / (double)records : 0; }
};

struct DayCounts {
    std::string day;  // in the report's zone
    Counts counts;
};

// A plan, a station or the whole selection.
struct YieldGroup {
    std::string name;
    Counts counts;
    PassYield pass;
    std::vector<DayCounts> days;  // oldest first, days without records left out
};

// A run chart point: a run of consecutive values (oldest first).
struct RunPoint {
    int64_t n = 0;
    double mean = 0, min = 0, max = 0;
    std::string from;  // the first value's record start, "YYYY-MM-DD HH:MM" in the report's zone
};
constexpr size_t kMaxRunPoints = 60;

// One measurement of one plan step.  Its kind (the step's declaration)
// decides what the page shows: a Limited value its statistics, histogram,
// run chart and Cpk; a Flag how often it held; Bookkeeping a line of the
// appendix.
struct SeriesReport {
    SeriesKey key;
    station::MeasureKind kind = station::MeasureKind::Bookkeeping;
    std::string unit;  // "dBm", ..., or "" for counts and flags
    int64_t held = 0;  // a flag's values that are not 0
    Summary summary;
    std::optional<double> low, high;  // the newest record's limits
    int limitSets = 1;                // how many different limits the records had
    std::optional<double> cpk;
    std::string noCpk;                // why there is no Cpk (cpkWhyNot)
    int64_t failed = 0;               // values outside the limits of their record
    int64_t notFinite = 0;            // NaN or infinite values, not in the figures
    Histogram histogram;
    std::vector<RunPoint> run;
};

struct CycleReport {
    std::string plan;
    Summary summary;  // seconds, start to end of each record
    double median = 0, p90 = 0;
    Histogram histogram;  // of the records up to fence
    double fence = 0;     // Q3 + 3 IQR
    int64_t beyond = 0;   // records longer than fence, not in the histogram
};

// A distribution drawn as a histogram with n, median, p99 and max.
struct Distribution {
    std::string name;
    Summary summary;
    double median = 0, p99 = 0;
    Histogram histogram;
};

// A calibrating step of a plan (pa-cal: its line fixes the chain): |y - x| of
// the first round's points, on the uncalibrated unit, against |verify
// error| of the last verify, on the calibrated one; dB.
// Both are also kept signed (measured - set; verify error) on common bins,
// and per set power, with the tolerance the verify errors were held to.
struct Band {
    double set = 0;  // dBm
    int64_t n = 0;
    double mean = 0, min = 0, max = 0;
};
struct PowerErrorReport {
    std::string step;      // "plan · line N · command"
    std::string argument;  // what the step's first argument names ("chain"), from its declaration
    std::string chain;     // the step's first argument
    Distribution before, after;
    std::optional<double> low, high;        // the newest verify error's limits, dB
    int64_t bins = 0;
    double binLo = 0, binWidth = 1;         // the signed histograms' common bins
    std::vector<int64_t> beforeBins, afterBins;
    std::vector<Band> beforeBySet, afterBySet;  // by set power in whole dBm, lowest first
};


struct ShareRow {
    std::string name;  // operator, or metadata value
    Counts counts;
};

struct MetadataReport {
    std::string key;
    std::vector<ShareRow> values;  // most records first
    int64_t otherValues = 0;       // values left out of the list
};

// Failures by measurement: each FAIL measurement of a step that did not
// pass; a step without one (an ERROR, mostly) counts as the step itself.
struct ParetoReport {
    std::vector<ParetoItem> items;  // "plan · line N · command · measurement" or "... · command"
    std::vector<int64_t> fail, error;
    std::vector<int> series;        // the measurement's index in Report::series, or -1
    int64_t steps = 0;              // failed or errored steps in all
};

// One tester port's golden checks over time (report/golden.h).
struct GoldenPort {
    std::string station, port;
    std::vector<RunPoint> run;        // oldest first; beyond kMaxRunPoints checks, each point several
    std::optional<double> low, high;  // the newest check's tolerance
    int64_t checks = 0, failed = 0;   // failed: not PASS
    std::string last, lastVerdict;    // the newest check's start (UTC) and verdict
};

// A step's series, a y column against the x column as the step declares
// them (report/step_series.h).
constexpr size_t kMaxCurves = 8;    // the newest units drawn one by one
constexpr size_t kMaxXValues = 400;  // xs (to a tenth) per chart; beyond, values are left out

struct StepSeriesChart {
    std::string step;    // "plan · line N · command"
    std::string series;  // the series' name
    std::string x, xUnit, y, yUnit;
    std::optional<double> low, high;  // the newest record's limits of y, if the step holds it to some
    struct Group {
        std::string name;         // the group column's value ("" without one)
        std::vector<Band> byX;    // lowest x first
    };
    std::vector<Group> groups;
    struct Curve {
        std::string serial, group;
        std::vector<std::pair<double, double>> points;  // (x, y), as recorded
    };
    std::vector<Curve> curves;  // the newest units', oldest first
    int64_t units = 0;          // records with this series
    int64_t leftOut = 0;        // values beyond kMaxXValues xs
};

struct Report {
    int64_t records = 0;
    std::string zone;
    std::vector<std::string> filters;  // "--plan x", ... as given
    std::vector<std::string> archived;  // results::describeArchive of the archives the filters reach
    std::string firstStart, lastStart;  // "YYYY-MM-DD HH:MM" in zone
    YieldGroup overall;
    std::vector<YieldGroup> plans, stations;
    ParetoReport failures;
    std::vector<SeriesReport> series;  // Limited worst Cpk first, then flags, then bookkeeping
    std::vector<CycleReport> cycles;
    std::vector<Distribution> testerWaits;     // per plan, ms; plans whose records have tester_wait_ms
    std::vector<PowerErrorReport> powerErrors;  // per calibrating step, by plan then line
    std::vector<ShareRow> operators;
    std::vector<MetadataReport> metadata;  // by key, at most kMaxMetadataKeys
    int64_t otherMetadataKeys = 0;
    std::vector<GoldenPort> golden;  // per station and port (report/golden.h)
    std::vector<StepSeriesChart> stepSeries;  // by plan, line, command, series, column
};

constexpr size_t kMaxShareRows = 20;      // per metadata key, and operators
constexpr size_t kMaxMetadataKeys = 30;

// The report of the records the filter selects.  Throws
// results::StoreError when the store cannot be read.
Report aggregate(results::Store &store, const results::RecordFilter &filter, const Zone &zone);

// The text report's yield table with days of zone: per plan and day,
// records, units (distinct serials), PASS, FAIL, ERROR; by plan, then day.
std::vector<results::YieldRow> yieldByPlanDay(results::Store &store, const results::RecordFilter &filter,
                                              const Zone &zone);

}  // namespace report
