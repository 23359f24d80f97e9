// What the HTML report asks the store for: figures the database computes
// (counts, sums, extremes, histogram bins, run chart points, first-pass
// yields) and the few kinds of rows it streams in record order.  However
// large the store, the report holds figures, never its rows.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "results/record.h"

namespace results {

// One measurement of one plan step over the selected records: (plan, line,
// command, name).
struct MeasureKey {
    std::string plan;
    int line = 0;
    std::string command, name;
};

// A key's values: rows counts every value; the rest are of the finite ones
// (a PostgreSQL store may hold NaN or infinities) but failed, which counts
// the values outside the limits of their own record.  sqDev: the sum of
// squared deviations from the mean.  low/high: the newest record's limits;
// limitSets: how many different (low, high) the records had.
struct MeasureFigures {
    MeasureKey key;
    int64_t rows = 0, finite = 0, held = 0, failed = 0, limitSets = 0;
    bool whole = true;  // every finite value a whole number
    double sum = 0, min = 0, max = 0, sqDev = 0;
    std::optional<double> low, high;
};

// Histogram bins of one key: [lo + i width, lo + (i+1) width), the values
// below the first in it and those from the last on in the last.
struct BinRequest {
    MeasureKey key;
    double lo = 0, width = 1;
    int64_t bins = 1;
};

// Run chart points of one key: its finite values in record order cut into
// points consecutive runs of (about) equal length, as
// [k n / points, (k+1) n / points) for n values.
struct RunRequest {
    MeasureKey key;
    int64_t finite = 0, points = 1;
};
struct RunFigures {
    int64_t n = 0;
    double sum = 0, min = 0, max = 0;
    std::string firstStart;  // UTC text of the run's first value's record
};

// The steps that did not pass, by plan step and the measurement of theirs
// that failed ("" for a step without one: an ERROR, mostly).
struct FailureCount {
    std::string plan;
    int line = 0;
    std::string command, measurement;
    Verdict verdict = Verdict::Fail;
    int64_t steps = 0;
};

// First-pass and final yield of a group (all, a plan or a station): units
// are distinct serials, each judged by its first and its last record in
// the group.
struct PassYieldFigures {
    std::string group;
    int64_t records = 0, units = 0, firstPass = 0, finalPass = 0;
};
enum class YieldGroupBy { All, Plan, Station };

// A metadata key's value and the verdicts of the records that have it.
struct MetadataCount {
    std::string key, value;
    int64_t records = 0, pass = 0, fail = 0, error = 0;
};

// A measurement as streamed in record order, with its record.
struct MeasurementInOrder {
    RecordSummary record;
    int64_t stepIndex = 0;
    int line = 0;
    std::string command, args, name;
    std::string port;  // goldenOnly: the tester port the golden check checked
    double value = 0;
    std::optional<double> low, high;
};

// Which measurements to stream: of these commands (none: any), named so
// (name or a prefix ending in '%'; none: any).  At least one is set.
struct MeasurementSelect {
    std::vector<std::string> commands;
    std::vector<std::string> names;
    bool goldenOnly = false;  // only records of kind golden, with their port in args
};

// A series value as streamed in record order (then step, series, row,
// column), with its record's id and start.
struct SeriesPointInOrder {
    std::string recordId, startedAt, plan, serial;
    int64_t stepIndex = 0;
    int line = 0;
    std::string command, args, series, column;
    int64_t row = 0;
    double value = 0;
};

}  // namespace results
