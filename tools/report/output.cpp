// The HTML report from a store to a file; see output.h.
#include "report/output.h"

#include "format/output.h"
#include "report/aggregate.h"
#include "report/html.h"
#include "results/report.h"

namespace report {

HtmlResult writeHtmlReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone,
                           const std::vector<std::string> &filters, const std::string &path) {
    Report r = aggregate(store, filter, zone);
    r.filters = filters;
    for (const results::ArchiveInfo &a : store.archivesOverlapping(filter))
        r.archived.push_back(results::describeArchive(a));
    std::string page = htmlPage(r);
    format::writeOutput(path, page);
    HtmlResult out;
    out.records = r.records;
    out.bytes = page.size();
    return out;
}

std::string textReport(results::Store &store, const results::RecordFilter &filter, const Zone &zone) {
    if (zone.isUtc()) return results::formatReport(store, filter);
    return results::formatReport(store, filter, zone.name(),
                                 yieldByPlanDay(store, filter, zone));
}

}  // namespace report
