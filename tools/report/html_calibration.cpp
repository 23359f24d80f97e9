// The HTML report's calibration section: per calibrating step (one that
// declares an error view, station/series.h: a PA chain) the error
// before and after on one scale with the tolerance, and against x.
#include "report/charts.h"
#include "report/html_parts.h"
#include "report/svg.h"
#include "station/measures.h"

namespace report::page {

namespace {

std::string dB(double v) { return station::measureNumber("verify_error", v); }

std::string chainTitle(const PowerErrorReport &p) {
    std::string what = p.argument.empty() ? "argument" : p.argument;
    return what + " " + (p.chain.empty() ? std::string("?") : p.chain) + " \u00b7 " + p.step;
}

std::string tolerance(std::optional<double> low, std::optional<double> high) {
    if (!low && !high) return "no tolerance recorded";
    return "tolerance " + (low ? dB(*low) : std::string("\xE2\x80\x94")) + " .. " +
           (high ? dB(*high) : std::string("\xE2\x80\x94")) + " dB";
}

std::string chainBlock(const PowerErrorReport &p, size_t i) {
    std::string o = "<div class=\"measurement cal\" id=\"cal" + num((int64_t)i) + "\" data-chain=\"" +
                    escape(p.chain) + "\"><h3>" + escape(chainTitle(p)) + "</h3><p class=\"meta\">" +
                    escape(tolerance(p.low, p.high)) + "</p>";
    std::string t = "<table class=\"cal-table\"><tr>" + th("") + th("points", true) + th("median |error| (dB)", true) +
                    th("99% |error| (dB)", true) + th("max |error| (dB)", true) + "</tr>";
    for (const Distribution *e : {&p.before, &p.after})
        t += "<tr>" + td(e->name == "before" ? "before (first round)" : "after (verify)") +
             td(num(e->summary.n), true) + td(dB(e->median), true) + td(dB(e->p99), true) +
             td(dB(e->summary.max), true) + "</tr>";
    o += scrolling(t + "</table>") + "<div class=\"charts\">" +
         calibrationChart(p, "power error before and after calibration, " + chainTitle(p)) +
         setPowerChart({{"before", &p.beforeBySet}, {"after", &p.afterBySet}}, p.low, p.high,
                       "power error against set power, " + chainTitle(p)) +
         "</div></div>\n";
    return o;
}

}  // namespace

std::string calibrationSection(const Report &r) {
    if (r.powerErrors.empty()) return "";
    std::string o = "<h2 id=\"calibration\">Calibration</h2>\n<p class=\"meta\">Per calibrating step (a PA chain): the "
                    "power error measured \xE2\x88\x92 set of the first round's points, on the uncalibrated unit "
                    "(before), and of the verify, on the calibrated one (after), on one scale with the tolerance "
                    "lines; and by set power, so that a drift at one end of the range shows.</p>\n"
                    "<p class=\"legend\"><span style=\"background:#b0892e\"></span>before"
                    "<span style=\"background:#2f5f9e\"></span>after</p>\n";
    for (size_t i = 0; i < r.powerErrors.size(); i++) o += chainBlock(r.powerErrors[i], i);
    return o;
}

}  // namespace report::page
