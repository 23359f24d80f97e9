// The HTML report from a store to a file: read, aggregate, write.  The file
// appears whole or not at all (a temporary file in the same directory,
// renamed over FILE once written); "-" writes to standard output.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "report/zone.h"
#include "results/store.h"

namespace report {

// The file cannot be written.  what() is a complete message.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// bytes to path ("-": standard output).  Throws OutputError; on error no
// file is left behind and an existing FILE is unchanged.  A path that is a
// device or a pipe (/dev/null, /dev/stdout) is written to directly.
void writeOutput(const std::string &path, const std::string &bytes);

struct HtmlResult {
    int64_t records = 0;
    size_t bytes = 0;
};

// The page for the records the filter selects, written to path.  filters:
// the filter options as given, for the page's header.  Throws
// results::StoreError (nothing written) or OutputError.
HtmlResult writeHtmlReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone,
                           const std::vector<std::string> &filters, const std::string &path);

// The text report (results::formatReport) with days of zone.
std::string textReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone);

}  // namespace report
