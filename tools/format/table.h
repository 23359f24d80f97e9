// The one writer of aligned text tables (reports, the summary of a run of
// several units).  Columns are separated by two blanks and padded by the
// number of characters (code points), not bytes.  A cell keeps to its
// line: control characters and bytes that are not valid UTF-8 become
// U+FFFD.  Trailing blanks are cut.
//
//     format::Table t({{"UNIT", false}, {"STEPS", true}});
//     t.row({"eth1", "12/12"});
//     fputs(t.text().c_str(), stdout);
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace format {

struct Column {
    std::string title;
    bool right = false;  // right-aligned (numbers)
};

class Table {
  public:
    explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
    // Missing cells are empty; extra cells are dropped.
    void row(std::vector<std::string> cells);
    bool empty() const { return rows_.empty(); }
    // The title line, then a line per row.
    std::string text() const;

  private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

// s with what would break a line of a table replaced by U+FFFD.
std::string oneLine(std::string_view s);
// Characters (code points) in valid UTF-8.
size_t textWidth(std::string_view s);

}  // namespace format
