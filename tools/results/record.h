// One unit's test record: what the station asked, what came back, what was
// measured against which limits, and the verdicts.  Plain data; the station
// fills it while it runs a plan, then hands it to the exports (export.h) and
// the results store (store.h).  docs/records.md describes every field.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "station/verdict.h"

namespace results {

// Bad input: a serial, a metadata key, a store URL or a record that breaks
// the documented rules.  what() is a complete message for the user.
struct InvalidInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The station's one verdict type and rule (station/verdict.h): what the
// screen says is what the record holds.
using Verdict = station::Verdict;
using station::verdictName;  // "PASS", "FAIL", "ERROR"
std::optional<Verdict> verdictFromName(const std::string &s);

// A value the step measured from its reply, checked against optional
// inclusive limits.  The verdict is Pass or Fail, never Error.
struct Measurement {
    std::string name;  // e.g. "count", "pa0"; unique within a step
    double value = 0;
    std::optional<double> low;
    std::optional<double> high;
    Verdict verdict = Verdict::Pass;
};

// The fields of a request frame as sent.
struct RequestFields {
    uint8_t code = 0;
    uint8_t byteArg = 0;
    uint32_t value1 = 0;
    uint32_t value2 = 0;
    uint32_t value3 = 0;
    uint8_t chain = 0;
};

// The fields of a reply frame as received.
struct ReplyFields {
    uint8_t code = 0;
    uint8_t byteArg = 0;
    uint32_t value1 = 0;
    uint32_t value2 = 0;
    uint32_t value3 = 0;
    uint16_t half = 0;
    std::string from;  // sender address as text, may be empty
};

// One request and the reply it got (none: timed out or not decodable).
// attempts counts the sends, retries included.
struct Exchange {
    RequestFields request;
    std::optional<ReplyFields> reply;
    unsigned attempts = 1;
};

// A step's points as a table: one row per point, one value per column
// (pa-cal's calibration points, tx-sweep's set powers).  Plain numbers,
// always finite: a step records only the points it has values for.
struct SeriesColumn {
    std::string name;  // e.g. "set_power"; the rule of a measurement name
    std::string unit;  // "dBm", "dB", ... or "" for codes, counts and flags
};

struct Series {
    std::string name;                      // e.g. "points"; unique within a step
    std::vector<SeriesColumn> columns;     // unique names, at most kMaxSeriesColumns
    std::vector<std::vector<double>> rows;  // each as wide as columns, at most kMaxSeriesRows
};

// What keeps a record bounded.
constexpr size_t kMaxSeriesPerStep = 8;
constexpr size_t kMaxSeriesColumns = 16;
constexpr size_t kMaxSeriesRows = 4096;

// One plan step as it ran.  A step with a non-empty error is ERROR; else a
// failed measurement makes it FAIL; else PASS.  Steps that did not run are
// not in the record.
struct Step {
    int line = 0;                   // plan line, 1-based
    std::string command;            // the step's command word, as in the plan
    std::vector<std::string> args;  // its words after the command, as in the plan
    std::vector<Exchange> exchanges;  // e.g. rx: start-rx, then stop-rx; sleep: none
    std::vector<Measurement> measurements;
    std::vector<Series> series;     // the step's points, if it keeps them as a table
    Verdict verdict = Verdict::Pass;
    std::string error;              // why the step is ERROR; empty otherwise
    std::string startedAt;          // ISO 8601 UTC, see formatUtc
    double durationS = 0;           // seconds
};

struct Record {
    std::string id;        // newRecordId()
    std::string serial;    // validateSerial()
    std::string station;   // validateName()
    std::string operatorName;  // validateText(), may be empty
    std::map<std::string, std::string> metadata;  // keys: validateMetaKey()
    std::string planName;
    std::string planSha256;  // sha256Hex() of the plan's bytes
    std::string startedAt;
    std::string endedAt;
    std::vector<Step> steps;
    Verdict verdict = Verdict::Error;
};

// A record without its steps: what a list of records shows.
struct RecordSummary {
    std::string id, serial, station, operatorName, planName, startedAt, endedAt;
    Verdict verdict = Verdict::Error;
};

// ---- verdict rules ---------------------------------------------------------

// Pass when value lies within the limits it has (inclusive); NaN fails.
Verdict measurementVerdict(const Measurement &m);
// Error if error is set, else Fail if a measurement fails, else Pass.
Verdict stepVerdict(const Step &s);
// Fail if any step failed, else Error if any errored, else Pass.  A failed
// limit is a finding about the unit and wins over an error elsewhere.  A
// record without steps tested nothing and is Error.
Verdict recordVerdict(const std::vector<Step> &steps);
// Sets every measurement, step and record verdict from the data.
void applyVerdicts(Record *r);

// ---- identities, hashes, times ---------------------------------------------

// A random (version 4) UUID from the kernel's random source, lower-case.
// Throws std::runtime_error if the random source cannot be read.
std::string newRecordId();
bool isRecordId(const std::string &s);

// Lower-case hex SHA-256 of the bytes (libcrypto).
std::string sha256Hex(const std::string &bytes);

// A record's identity beside its id: "v2:" and the SHA-256 of its compact
// JSON (export.h), so it follows the values, not the spelling of a
// document.  The store keeps it to tell the same record written twice from
// another record under the same id.  isCurrentDigest: written by this
// version (else an older rfprobe wrote it, and the store compares the
// records themselves).
std::string recordDigest(const Record &r);
bool isCurrentDigest(const std::string &digest);

// UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ" (always this width, so the text
// sorts as the time does).  unixMs: milliseconds since 1970.
std::string formatUtc(int64_t unixMs);
std::string nowUtc();
bool isUtcTime(const std::string &s);
bool isDay(const std::string &s);  // "YYYY-MM-DD"

// ---- validation --------------------------------------------------------------
// Each throws InvalidInput with a message naming the rule.

// Serial: 1..64 characters from A-Z a-z 0-9 '-' '_' '.', first one a letter
// or digit.
constexpr size_t kMaxSerial = 64;
void validateSerial(const std::string &s);
// Station name: the serial's rule, 1..64 characters.
void validateName(const char *what, const std::string &s);
// Metadata key: 1..64 characters from a-z A-Z 0-9 '_' '-' '.'.
void validateMetaKey(const std::string &s);
// Free text (operator, metadata value): valid UTF-8, no control characters,
// at most 1024 bytes.
constexpr size_t kMaxText = 1024;
void validateText(const char *what, const std::string &s);
// The whole record: every rule above, times, ids, hashes, unique measurement
// names, series (names and column names as measurement names, unique, rows
// as wide as the columns, finite values, within the bounds above), step
// args (non-empty words without blanks), finite limits with low <= high,
// and verdicts that agree with applyVerdicts.
void validateRecord(const Record &r);

}  // namespace results
