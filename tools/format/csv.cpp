// The CSV writer.
#include "format/csv.h"

#include "format/text.h"

namespace format {

namespace {

bool formulaLike(std::string_view s) {
    if (s.empty()) return false;
    char c = s[0];
    if (c != '=' && c != '+' && c != '-' && c != '@' && c != '\t' && c != '\r') return false;
    return !parseNumber(s);  // "-372" is a number, not a formula
}

}  // namespace

std::string csvCell(std::string_view in) {
    std::string s;
    if (formulaLike(in)) s += '\'';
    for (size_t i = 0; i < in.size();) {
        size_t n = utf8Len(in, i);
        if (n == 0) {
            s += kReplacement;
            i++;
            continue;
        }
        s.append(in.data() + i, n);
        i += n;
    }
    if (s.find_first_of(",\"\r\n") == std::string::npos &&
        (s.empty() || (s.front() != ' ' && s.back() != ' ')))
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

void csvRow(std::string *out, const std::vector<std::string> &cells) {
    for (size_t i = 0; i < cells.size(); i++) {
        if (i) *out += ',';
        *out += csvCell(cells[i]);
    }
    *out += '\n';
}

}  // namespace format
