// UTF-8 and numbers for every writer.
#include "format/text.h"

#include <charconv>
#include <cmath>

namespace format {

size_t utf8Len(std::string_view s, size_t pos) {
    const unsigned char *p = (const unsigned char *)s.data() + pos;
    size_t left = s.size() - pos;
    unsigned c = p[0];
    size_t n;
    unsigned min;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, min = 0x10000;
    else return 0;
    if (left < n) return 0;
    unsigned cp = c & (0x7F >> n);
    for (size_t i = 1; i < n; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

char32_t utf8Decode(std::string_view s, size_t pos, size_t n) {
    const unsigned char *p = (const unsigned char *)s.data() + pos;
    if (n == 1) return p[0];
    char32_t cp = p[0] & (0x7F >> n);
    for (size_t i = 1; i < n; i++) cp = cp << 6 | (p[i] & 0x3F);
    return cp;
}

std::string printableUtf8(std::string_view s, size_t maxBytes) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8Len(s, i);
        char32_t cp = n ? utf8Decode(s, i, n) : (unsigned char)s[i];
        char ch[4];
        size_t len = 1;
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
            ch[0] = ' ';
        } else if (n) {
            len = n;
            s.copy(ch, n, i);
        } else {  // a Latin-1 byte, 0xA0-0xFF: two bytes in UTF-8
            ch[0] = (char)(0xC0 | cp >> 6);
            ch[1] = (char)(0x80 | (cp & 0x3F));
            len = 2;
        }
        if (out.size() + len > maxBytes) break;
        out.append(ch, len);
        i += n ? n : 1;
    }
    return out;
}

std::string_view withoutCutTail(std::string_view s) {
    // The last lead byte within a character's length of the end.
    for (size_t back = 1; back <= 4 && back <= s.size(); back++) {
        unsigned char c = (unsigned char)s[s.size() - back];
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? s.substr(0, s.size() - back) : s;
    }
    return s;
}

// As printf's %.15g, %.16g or %.17g, whichever is the first to read back
// as d: "100000" rather than "1e+05", "0.1" rather than "0.10000000000000001".
std::string number(double d) {
    char buf[64];
    char *end = buf;
    for (int prec = 15; prec <= 17; prec++) {
        end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, prec).ptr;
        double back = 0;
        std::from_chars(buf, end, back);
        if (back == d) break;
    }
    return std::string(buf, end);
}

std::string fixed(double d, int decimals) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return number(d);  // beyond 1e300: never a time or a yield
    return std::string(buf, r.ptr);
}

std::optional<double> parseNumber(std::string_view s) {
    double d = 0;
    if (s.empty()) return std::nullopt;
    auto r = std::from_chars(s.data(), s.data() + s.size(), d);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return d;
}

}  // namespace format
