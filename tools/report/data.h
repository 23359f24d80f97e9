// What the HTML report reads from a results store: the records, their
// metadata, the steps that did not pass and every measurement, as plain
// rows.  Everything else is computed from these in C++ (aggregate.h), so
// SQLite and PostgreSQL stores with the same records give the same report.
// readStore() is the only code of the report that knows the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "results/record.h"
#include "results/store.h"

namespace report {

struct RecordRow {
    std::string id, serial, station, operatorName, plan, startedAt, endedAt;  // times: UTC text
    results::Verdict verdict = results::Verdict::Error;
};

// Rows below name their record by its index in Dataset::records.
struct MetadataRow {
    uint32_t record = 0;
    std::string key, value;
};

struct FailedStepRow {
    uint32_t record = 0;
    int line = 0;
    std::string command;
    results::Verdict verdict = results::Verdict::Fail;  // Fail or Error
};

// One measurement of a plan step: its series is (plan, line, command, name).
struct SeriesKey {
    std::string plan;
    int line = 0;
    std::string command, name;
};

struct MeasurementRow {
    uint32_t record = 0;
    uint32_t series = 0;  // index into Dataset::series
    double value = 0;
    std::optional<double> low, high;
    bool failed = false;  // the station's verdict on it was FAIL
};

// A pa-cal step: its line in its record's plan, and its chain (the step's
// first argument).
struct CalStepRow {
    uint32_t record = 0;
    int line = 0;
    std::string chain;
};

// One value of a pa-cal step's series (its points): the step's line, the
// series, the point's row and the column.
struct SeriesValueRow {
    uint32_t record = 0;
    int line = 0;
    std::string series, column;
    int64_t row = 0;
    double value = 0;
};

struct Dataset {
    std::vector<RecordRow> records;  // oldest first (start time, then id)
    std::vector<MetadataRow> metadata;
    std::vector<FailedStepRow> failedSteps;      // in record order, then step order
    std::vector<SeriesKey> series;
    std::vector<MeasurementRow> measurements;    // in record order, then step and position
    std::vector<CalStepRow> calSteps;            // in record order, then line
    std::vector<SeriesValueRow> calSeries;       // in record order, then line, row, column
};

enum class Rows { RecordsOnly, All };

// The records the filter selects (plan, serial, station, and the start time
// bounds startedFrom/startedBefore; the UTC day fields also apply) and, with
// Rows::All, their rows.  Throws results::StoreError when the store cannot
// be read.
Dataset readStore(results::Store &store, const results::RecordFilter &filter, Rows rows = Rows::All);

}  // namespace report
