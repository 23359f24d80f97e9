// Reports over a results store (SQLite or PostgreSQL, the same output from
// both) as text and CSV: yield per plan and day, failures by step,
// statistics of the measured values (the store's report queries), and the
// steps and measurements of records.  Each throws StoreError when the store
// cannot be read.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "results/store.h"

namespace results {

// The yield, failure and statistics tables as aligned text, each under a title line, with
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

}  // namespace results
