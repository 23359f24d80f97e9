// The one CSV writer: RFC 4180 quoting with LF line ends.
//
// A cell that a spreadsheet would run as a formula (one that begins with
// '=', '+', '-', '@', TAB or CR and is not a plain number such as "-372")
// gets a leading apostrophe: "=1+2" is written '=1+2 and shows as text.
// Invalid UTF-8 bytes become U+FFFD.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace format {

// One cell, guarded and quoted as it must be.
std::string csvCell(std::string_view s);
// The cells as one line, with its LF, appended to out.
void csvRow(std::string *out, const std::vector<std::string> &cells);

}  // namespace format
