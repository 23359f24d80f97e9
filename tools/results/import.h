// A record's JSON document (export.h, docs/records.md) read back into a
// Record: what an archive file holds, one document a line.
#pragma once

#include <string>

#include "results/record.h"

namespace results {

// The record of one JSON document of schema kRecordSchema, field by field
// as toJson writes them (a number that is null reads as NaN, which toJson
// writes as null again).  Throws InvalidInput naming the field that is
// missing, of the wrong type or out of range.  It does not check the
// record's rules: validateRecord does.
Record recordFromJson(const std::string &json);

}  // namespace results
