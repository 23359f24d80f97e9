// The text-table writer.
#include "format/table.h"

#include <algorithm>

#include "format/text.h"

namespace format {

std::string oneLine(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8Len(s, i);
        unsigned char c = (unsigned char)s[i];
        if (n == 0 || (n == 1 && (c < 0x20 || c == 0x7F))) {
            out += kReplacement;
            i += n ? n : 1;
            continue;
        }
        out.append(s.data() + i, n);
        i += n;
    }
    return out;
}

size_t textWidth(std::string_view s) {
    size_t w = 0;
    for (unsigned char c : s) w += (c & 0xC0) != 0x80;
    return w;
}

void Table::row(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    for (std::string &c : cells) c = oneLine(c);
    rows_.push_back(std::move(cells));
}

std::string Table::text() const {
    std::vector<size_t> w(columns_.size());
    for (size_t i = 0; i < columns_.size(); i++) w[i] = textWidth(columns_[i].title);
    for (const auto &r : rows_)
        for (size_t i = 0; i < r.size(); i++) w[i] = std::max(w[i], textWidth(r[i]));
    std::string out;
    auto line = [&](const std::vector<std::string> &cells) {
        std::string l;
        for (size_t i = 0; i < cells.size(); i++) {
            std::string pad(w[i] - textWidth(cells[i]), ' ');
            if (i) l += "  ";
            l += columns_[i].right ? pad + cells[i] : cells[i] + pad;
        }
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out += l + "\n";
    };
    std::vector<std::string> head;
    for (const Column &c : columns_) head.push_back(oneLine(c.title));
    line(head);
    for (const auto &r : rows_) line(r);
    return out;
}

}  // namespace format
