// Records out: one JSON document per unit, and JUnit XML for dashboards that
// read test reports.  Both are deterministic: the same record gives the same
// bytes.  The JSON layout is documented in docs/records.md.
#pragma once

#include <string>
#include <vector>

#include "results/record.h"

namespace results {

// Schema name carried in every JSON document.
constexpr const char *kRecordSchema = "rfprobe-record/1";

// The record as one JSON object.  pretty: two-space indentation and a final
// newline; otherwise one line without a newline.  Text that is not valid
// UTF-8 (a record that skipped validateRecord) comes out with U+FFFD in
// place of the bad bytes, so the document always parses.
std::string toJson(const Record &r, bool pretty = true);

// One <testsuites> document: a <testsuite> per record (name: the plan,
// properties: serial, station, operator, record id, plan hash, metadata),
// a <testcase> per step ("line N: command args"), <failure> for FAIL and
// <error> for ERROR with the reason and the measurements.
std::string toJunitXml(const std::vector<const Record *> &records);

}  // namespace results
