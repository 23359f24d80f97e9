// What the HTML report's sections share (html.cpp, html_summary.cpp,
// html_series.cpp): table cells, figures and the anchors sections link
// by.  Every text from records goes through escape() here or in the cell
// helpers.
#pragma once

#include <cstdint>
#include <string>

#include "report/aggregate.h"

namespace report::page {

std::string pct(double share);
std::string num(int64_t v);
// A cell of text from anywhere (escaped); number: right-aligned.
std::string td(const std::string &text, bool number = false);
// A header cell of markup the page writes itself (not escaped).
std::string th(const std::string &html, bool number = false);
// A table that scrolls on its own when a phone is narrower than it.
std::string scrolling(const std::string &table);
// "plan · line N · command · name", the name a measurement goes by.
std::string seriesName(const SeriesKey &k);
// A Cpk as shown ("1.42"), or "—" when there is none.
std::string cpkText(const SeriesReport &s);
// The anchor of a measurement's section or row: "m<index in Report::series>".
std::string seriesAnchor(size_t index);
// "name (unit)" for a column or an axis; just name without a unit.
std::string withUnitTitle(const std::string &name, const std::string &unit);

// The sections, in page order.
std::string firstScreen(const Report &r);
std::string measurementsSection(const Report &r);
std::string flagsSection(const Report &r);
std::string calibrationSection(const Report &r);
std::string appendixSection(const Report &r);

}  // namespace report::page
