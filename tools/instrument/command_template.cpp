#include "instrument/command_template.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace instrument {

namespace {

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool identifier(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!isalnum((unsigned char)c) && c != '_') return false;
    return true;
}

// The inside of {...}: "name", "name|map" or "name + 1 - 2.5".
bool parseRef(const std::string &inner, TemplateRef *r, std::string *why) {
    std::string s = trim(inner);
    size_t n = 0;
    while (n < s.size() && (isalnum((unsigned char)s[n]) || s[n] == '_')) n++;
    r->name = s.substr(0, n);
    std::string rest = trim(s.substr(n));
    if (r->name.empty()) {
        *why = "{" + inner + "} does not start with a parameter";
        return false;
    }
    if (!rest.empty() && rest[0] == '|') {
        r->map = trim(rest.substr(1));
        if (!identifier(r->map)) {
            *why = "{" + inner + "}: a map is named after '|' (letters, digits, _)";
            return false;
        }
        return true;
    }
    while (!rest.empty()) {
        char op = rest[0];
        std::string num = trim(rest.substr(1));
        size_t len = strspn(num.c_str(), "0123456789.");
        std::string digits = num.substr(0, len);
        char *end = nullptr;
        double v = strtod(digits.c_str(), &end);
        if ((op != '+' && op != '-') || len == 0 || *end || !std::isfinite(v)) {
            *why = "{" + inner + "} is not a parameter plus or minus numbers ({level_dbm + 10})";
            return false;
        }
        r->add += op == '+' ? v : -v;
        r->sum = true;
        rest = trim(num.substr(len));
    }
    return true;
}

// Walks a template: literal text to lit, each reference to ref; false with
// *why on a brace that does not close or a lone '}'.
template <class Lit, class Ref>
bool walk(const std::string &t, Lit lit, Ref ref, std::string *why) {
    for (size_t i = 0; i < t.size(); i++) {
        if ((t[i] == '{' || t[i] == '}') && i + 1 < t.size() && t[i + 1] == t[i]) {
            lit(t[i++]);
            continue;
        }
        if (t[i] == '}') {
            *why = "a lone '}' in \"" + t + "\" (write }} for a brace)";
            return false;
        }
        if (t[i] != '{') {
            lit(t[i]);
            continue;
        }
        size_t close = t.find('}', i);
        if (close == std::string::npos) {
            *why = "an unclosed '{' in \"" + t + "\"";
            return false;
        }
        TemplateRef r;
        if (!parseRef(t.substr(i + 1, close - i - 1), &r, why) || !ref(r)) return false;
        i = close;
    }
    return true;
}

}  // namespace

std::string formatNumber(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", v);
    // Trailing zeros add nothing.
    size_t n = strlen(buf);
    while (n > 0 && buf[n - 1] == '0') buf[--n] = 0;
    if (n > 0 && buf[n - 1] == '.') buf[--n] = 0;
    if (strcmp(buf, "-0") == 0) return "0";
    return buf;
}

bool checkTemplate(const std::string &t, const std::vector<std::string> &allowed, const Maps &maps,
                   std::string *why) {
    auto ref = [&](const TemplateRef &r) {
        bool known = false;
        for (const std::string &a : allowed) known |= r.name == a;
        if (!known) {
            std::string list;
            for (const std::string &a : allowed) list += (list.empty() ? "{" : ", {") + a + "}";
            *why = "unknown parameter {" + r.name + "} in \"" + t + "\"; it takes " + (list.empty() ? "none" : list);
            return false;
        }
        if (!r.map.empty() && !maps.count(r.map)) {
            *why = "\"" + t + "\" uses the map " + r.map + ", which the profile has not ([maps." + r.map + "])";
            return false;
        }
        return true;
    };
    if (!walk(t, [](char) {}, ref, why)) return false;
    if (t.find_first_not_of(" \t") == std::string::npos) {
        *why = "an empty command";
        return false;
    }
    if (t.find_first_of("\r\n") != std::string::npos) {
        *why = "a command holds a line end";
        return false;
    }
    return true;
}

std::vector<TemplateRef> templateRefs(const std::string &t) {
    std::vector<TemplateRef> refs;
    std::string why;
    walk(t, [](char) {}, [&](const TemplateRef &r) { refs.push_back(r); return true; }, &why);
    return refs;
}

bool expandCommand(const std::string &t, const Params &p, const Maps &maps, std::string *out, std::string *why) {
    std::string s;
    auto ref = [&](const TemplateRef &r) {
        const std::string *value = nullptr;
        for (const auto &kv : p)
            if (kv.first == r.name) value = &kv.second;
        if (!value) {
            *why = "no value for {" + r.name + "} in \"" + t + "\"";
            return false;
        }
        if (r.sum) {
            s += formatNumber(strtod(value->c_str(), nullptr) + r.add);
        } else if (!r.map.empty()) {
            auto m = maps.find(r.map);
            if (m == maps.end() || !m->second.count(*value)) {
                *why = r.name + " " + *value + " is not in the profile's map " + r.map;
                return false;
            }
            s += m->second.at(*value);
        } else {
            s += *value;
        }
        return true;
    };
    if (!walk(t, [&](char c) { s += c; }, ref, why)) return false;
    *out = s;
    return true;
}

}  // namespace instrument
