// The HTML report's first screen: under the yield figures, the top
// failures (FAIL and ERROR apart), the worst Cpk values and calibration's
// power error before and after, each row a link to its section.
#include <algorithm>

#include "report/html.h"
#include "report/html_parts.h"
#include "report/svg.h"
#include "station/measures.h"

namespace report::page {

namespace {

std::string link(const std::string &anchor, const std::string &text) {
    return "<a href=\"#" + anchor + "\">" + escape(text) + "</a>";
}

std::string box(const std::string &id, const std::string &anchor, const std::string &title, const std::string &body) {
    return "<div class=\"box\" id=\"" + id + "\"><h2><a href=\"#" + anchor + "\">" + title + "</a></h2>" + body +
           "</div>";
}

std::string topFailures(const Report &r) {
    const ParetoReport &p = r.failures;
    if (p.items.empty()) return box("s-failures", "failures", "Top failures", "<p>No step failed or erred.</p>");
    std::string t = "<table id=\"t-top-failures\"><tr>" + th("step \u00b7 measurement") + th("FAIL", true) +
                    th("ERROR", true) + "</tr>";
    for (size_t i = 0; i < std::min(p.items.size(), kFirstScreenRows); i++) {
        std::string anchor = p.series[i] < 0 ? "f" + num((int64_t)i) : seriesAnchor((size_t)p.series[i]);
        t += "<tr><td>" + link(anchor, p.items[i].label) + "</td>" + td(num(p.fail[i]), true) +
             td(num(p.error[i]), true) + "</tr>";
    }
    std::string more = p.items.size() > kFirstScreenRows
                           ? "<p class=\"meta\">" + link("failures", "and " + num((int64_t)(p.items.size() - kFirstScreenRows)) + " more") + "</p>"
                           : "";
    return box("s-failures", "failures", "Top failures", t + "</table>" + more);
}

std::string worstCpk(const Report &r) {
    std::string t;
    size_t shown = 0;
    // The series are sorted worst Cpk first.
    for (size_t i = 0; i < r.series.size() && shown < kFirstScreenRows; i++) {
        const SeriesReport &s = r.series[i];
        if (s.kind != station::MeasureKind::Limited || !s.cpk) continue;
        shown++;
        t += "<tr><td>" + link(seriesAnchor(i), seriesName(s.key)) + "</td><td class=\"num" +
             std::string(*s.cpk < kCpkTarget ? " low" : "") + "\">" + cpkText(s) + "</td></tr>";
    }
    if (t.empty()) return box("s-cpk", "measurements", "Worst Cpk", "<p>No value with limits and spread.</p>");
    return box("s-cpk", "measurements", "Worst Cpk",
               "<table id=\"t-worst-cpk\"><tr>" + th("step \u00b7 measurement") + th("Cpk", true) + "</tr>" + t +
                   "</table>");
}

std::string calibrationBox(const Report &r) {
    if (r.powerErrors.empty()) return "";
    std::string t = "<table id=\"t-cal-summary\"><tr>" + th("chain") + th("points", true) +
                    th("before (dB)", true) + th("after (dB)", true) + "</tr>";
    for (size_t i = 0; i < r.powerErrors.size(); i++) {
        const PowerErrorReport &p = r.powerErrors[i];
        auto dB = [](double v) { return station::measureNumber("verify_error", v); };
        t += "<tr><td>" + link("cal" + num((int64_t)i), (p.argument.empty() ? "" : p.argument + " ") + p.chain + " \u00b7 " + p.step) + "</td>" +
             td(num(p.before.summary.n), true) + td(dB(p.before.median), true) + td(dB(p.after.median), true) +
             "</tr>";
    }
    return box("s-calibration", "calibration", "Calibration: median |power error|", t + "</table>");
}

}  // namespace

std::string firstScreen(const Report &r) {
    return "<div class=\"first\" id=\"summary\">" + topFailures(r) + worstCpk(r) + calibrationBox(r) + "</div>\n";
}

}  // namespace report::page
