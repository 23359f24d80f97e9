// Reports over a results store (SQLite or PostgreSQL, the same output from
// both): yield per plan and day, failures by step, statistics of the
// measured values, and a CSV export of the steps and measurements.  Each
// throws StoreError when the store cannot be read.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "results/store.h"

namespace results {

// Records of one plan started on one UTC day.  yield = pass / records: a
// unit tested twice counts twice (units counts distinct serials).
struct YieldRow {
    std::string plan, day;
    int64_t records = 0, units = 0, pass = 0, fail = 0, error = 0;
    double yield() const { return records ? (double)pass / (double)records : 0; }
};

// A plan step (by plan line and command) that ended FAIL or ERROR at least
// once; runs counts every time it ran.
struct FailureRow {
    std::string plan;
    int line = 0;
    std::string command;
    int64_t fail = 0, error = 0, runs = 0;
};

// The values one measurement of one plan step took.  The median of an even
// count is the mean of the middle two.
struct StatRow {
    std::string plan;
    int line = 0;
    std::string command, measurement;
    int64_t count = 0;
    double min = 0, median = 0, max = 0;
};

// Ordered by plan, then day.
std::vector<YieldRow> yieldByPlanDay(Store &s, const RecordFilter &f);
// Most frequent first (fail + error), then by plan and line.
std::vector<FailureRow> failuresByStep(Store &s, const RecordFilter &f);
// Ordered by plan, line, command, measurement.
std::vector<StatRow> measurementStats(Store &s, const RecordFilter &f);

// The three tables above as aligned text, each under a title line, with
// "(none)" for an empty one.
std::string formatReport(Store &s, const RecordFilter &f);
// The same with the yield rows given (days of another time zone, counted
// by the caller) and that zone named in the yield's title.
std::string formatReport(Store &s, const RecordFilter &f, const std::string &zone,
                         const std::vector<YieldRow> &yield);

// CSV (RFC 4180 quoting, LF line ends) with a header line: one row per
// measurement, one row for a step without measurements, one row for a
// record without steps.  Columns: record_id, serial, station, operator,
// plan, plan_sha256, started_at, ended_at, verdict, step_index, line,
// command, args, step_verdict, error, duration_s, measurement, value, low,
// high, measurement_verdict.  Oldest record first.  Returns the number of
// data rows.
int64_t exportCsv(Store &s, const RecordFilter &f, std::ostream &out);

// One CSV field, quoted when it must be.
std::string csvField(const std::string &s);

}  // namespace results
