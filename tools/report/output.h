// The HTML report from a store to a file: read, aggregate, write.  The file
// appears whole or not at all (format::writeOutput); "-" writes to
// standard output.
#pragma once

#include <string>
#include <vector>

#include "report/zone.h"
#include "results/store.h"

namespace report {

struct HtmlResult {
    int64_t records = 0;
    size_t bytes = 0;
};

// The page for the records the filter selects, written to path.  filters:
// the filter options as given, for the page's header.  Throws
// results::StoreError (nothing written) or format::OutputError.
HtmlResult writeHtmlReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone,
                           const std::vector<std::string> &filters, const std::string &path);

// The text report (results::formatReport) with days of zone.
std::string textReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone);

}  // namespace report
