// The JSON writer.
#include "format/json.h"

#include <cmath>

#include "format/text.h"

namespace format {

void jsonString(std::string *out, std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    *out += '"';
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8Len(s, i);
        if (n == 0) {
            *out += "\\ufffd";
            i++;
            continue;
        }
        unsigned char c = (unsigned char)s[i];
        if (n > 1) out->append(s.data() + i, n);
        else if (c == '"') *out += "\\\"";
        else if (c == '\\') *out += "\\\\";
        else if (c == '\n') *out += "\\n";
        else if (c == '\r') *out += "\\r";
        else if (c == '\t') *out += "\\t";
        else if (c < 0x20 || c == 0x7F) {
            *out += "\\u00";
            *out += hex[c >> 4];
            *out += hex[c & 15];
        } else {
            *out += (char)c;
        }
        i += n;
    }
    *out += '"';
}

void Json::open(char c, bool flat) {
    item();
    out_ += c;
    depth_++;
    first_ = true;
    if (flat || flat_) flat_++;
}

void Json::close(char c) {
    depth_--;
    if (!first_) newline();
    out_ += c;
    first_ = false;
    if (flat_) flat_--;
}

void Json::key(std::string_view k) {
    item();
    jsonString(&out_, k);
    out_ += pretty_ ? ": " : ":";
    afterKey_ = true;
}

void Json::str(std::string_view s) {
    item();
    jsonString(&out_, s);
}

void Json::strOrNull(std::string_view s) {
    if (s.empty()) null();
    else str(s);
}

void Json::num(double d) { raw(std::isfinite(d) ? number(d) : "null"); }
void Json::integer(int64_t v) { raw(std::to_string(v)); }
void Json::boolean(bool b) { raw(b ? "true" : "false"); }
void Json::null() { raw("null"); }

void Json::raw(std::string_view json) {
    item();
    out_ += json;
}

std::string Json::done() {
    if (pretty_) out_ += '\n';
    std::string out;
    out.swap(out_);
    depth_ = flat_ = 0;
    first_ = true;
    afterKey_ = false;
    return out;
}

void Json::newline() {
    if (!pretty_) return;
    if (flat_) {
        out_ += ' ';
        return;
    }
    out_ += '\n';
    out_.append((size_t)depth_ * 2, ' ');
}

// Before a value or a key: a comma and a line break unless it is the first
// in its container; nothing after a key.
void Json::item() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (depth_ > 0) {
        if (!first_) out_ += ',';
        newline();
    }
    first_ = false;
}

}  // namespace format
