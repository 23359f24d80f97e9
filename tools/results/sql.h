// SQL pieces shared by the store and the reports (internal).  Times are
// TEXT in SQLite and TIMESTAMPTZ in PostgreSQL; these expressions give both
// back in the same text form.
#pragma once

#include <string>

#include "results/db.h"
#include "results/store.h"

namespace results {
namespace sql {

// col as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string timeText(db::Dialect d, const std::string &col);
// The UTC day of col as "YYYY-MM-DD".
std::string dayText(db::Dialect d, const std::string &col);
// " WHERE ..." (or "") for the filter on the records table under alias r;
// appends its parameters to params, numbered after those already there.
std::string recordWhere(db::Dialect d, const RecordFilter &f, db::Params *params);

}  // namespace sql
}  // namespace results
