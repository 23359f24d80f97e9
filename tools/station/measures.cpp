// The measurements the station records, as people read them (see measures.h).
#include "station/measures.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "format/text.h"

namespace station {

namespace {

struct Declared {
    const char *name;  // "<k>" stands for a step index (digits), "<dBm>" for a power ("12.5")
    MeasureInfo info;
};

constexpr MeasureKind kLimited = MeasureKind::Limited;
constexpr MeasureKind kFlag = MeasureKind::Flag;
constexpr MeasureKind kBook = MeasureKind::Bookkeeping;

// Resolutions a factory engineer reads: finer digits are below what the
// tester resolves or what the path loss is known to.
const Declared kDeclared[] = {
    // rx, stop-rx, rx-per; pa-read and what pa-cal leaves in the chain
    {"count", {"", 0, kLimited, true}},
    {"per", {"%", 2, kLimited, true}},
    {"pa1", {"", 0, kLimited, true}},
    {"pa2", {"", 0, kLimited, true}},
    {"pa3", {"", 0, kLimited, true}},
    // tx-measure
    {"power", {"dBm", 2, kLimited, true}},
    {"power_error", {"dB", 2, kLimited, true}},
    {"evm", {"dB", 1, kLimited, true}},
    {"freq_error", {"ppm", 2, kLimited, true}},
    {"applied_power", {"dBm", 2, kBook, true}},
    // every tester step
    {"path_loss", {"dB", 2, kBook, true}},
    {"tester_wait_ms", {"ms", 0, kBook, true}},
    // pa-cal: the fit's checks, the verify, the loop
    {"residual", {"dB", 3, kLimited, true}},
    {"verify_error", {"dB", 2, kLimited, true}},
    {"verify_error_<dBm>", {"dB", 2, kLimited, true}},
    {"determined", {"", 0, kFlag, true}},
    {"bounds", {"", 0, kFlag, true}},
    {"defined", {"", 0, kFlag, true}},
    {"monotonic", {"", 0, kFlag, true}},
    {"rounds", {"", 0, kBook, true}},
    {"measurements", {"", 0, kBook, true}},
    {"noise", {"dB", 3, kBook, true}},
    {"guard_band", {"dB", 3, kBook, true}},
    {"range_error", {"dB", 2, kLimited, true}},
    {"range_error_at", {"dBm", 1, kBook, true}},
    {"safe_start", {"", 0, kFlag, true}},
    // pa-cal: the chain before, and each point it measured
    {"pa<k>_before", {"", 0, kBook, true}},
    {"p<k>_set", {"dBm", 2, kBook, true}},
    {"p<k>_code", {"", 0, kBook, true}},
    {"p<k>_measured", {"dBm", 2, kBook, true}},
    {"p<k>_loss", {"dB", 2, kBook, true}},
    {"p<k>_round", {"", 0, kBook, true}},
    {"p<k>_verify", {"", 0, kFlag, true}},
    {"p<k>_clamped", {"", 0, kFlag, true}},
    {"p<k>_outlier", {"", 0, kFlag, true}},
};

const MeasureInfo kUnknown = {"", 3, kBook, false};

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// name against a declared name, which may hold one placeholder.
bool matches(std::string_view pattern, std::string_view name) {
    size_t open = pattern.find('<');
    if (open == std::string_view::npos) return pattern == name;
    size_t close = pattern.find('>', open);
    std::string_view prefix = pattern.substr(0, open), suffix = pattern.substr(close + 1);
    std::string_view hole = pattern.substr(open, close + 1 - open);
    if (name.size() <= prefix.size() + suffix.size()) return false;
    if (name.substr(0, prefix.size()) != prefix || name.substr(name.size() - suffix.size()) != suffix)
        return false;
    std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return hole == "<k>" ? allDigits(middle) : format::parseNumber(middle).has_value();
}

// Adds one to the last digit of a string of digits, carrying.
void carry(std::string *digits) {
    for (size_t i = digits->size(); i-- > 0;) {
        if ((*digits)[i] != '9') {
            (*digits)[i]++;
            return;
        }
        (*digits)[i] = '0';
    }
    digits->insert(digits->begin(), '1');
}

// |v|'s shortest exact decimal text rounded to `decimals`, half away
// from zero: rounding the binary value instead would show 1.005 as 1.00.
std::string roundedText(double v, int decimals, bool trim) {
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::fixed);
    if (r.ec != std::errc()) return format::number(v);  // beyond 1e300: no figure of a step
    std::string text(buf, r.ptr);
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    bool up = frac.size() > (size_t)decimals && frac[decimals] >= '5';
    frac.resize(decimals, '0');
    std::string digits = whole + frac;
    if (up) carry(&digits);
    whole = digits.substr(0, digits.size() - decimals);
    frac = digits.substr(digits.size() - decimals);
    if (trim)
        while (!frac.empty() && frac.back() == '0') frac.pop_back();
    bool zero = digits.find_first_not_of('0') == std::string::npos;
    return (v < 0 && !zero ? "-" : "") + whole + (frac.empty() ? "" : "." + frac);
}

}  // namespace

MeasureInfo measureInfo(std::string_view name) {
    for (const Declared &d : kDeclared)
        if (matches(d.name, name)) return d.info;
    return kUnknown;
}

double measureResolution(const MeasureInfo &m) { return std::pow(10.0, -m.decimals); }

std::string measureNumber(std::string_view name, double v, int extraDecimals) {
    if (!std::isfinite(v)) return std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
    MeasureInfo m = measureInfo(name);
    return roundedText(v, m.decimals + (extraDecimals > 0 ? extraDecimals : 0), !m.known);
}

std::string measureText(std::string_view name, double v, int extraDecimals) {
    return withUnit(name, measureNumber(name, v, extraDecimals));
}

std::string withUnit(std::string_view name, const std::string &text) {
    const char *unit = measureInfo(name).unit;
    return *unit ? text + " " + unit : text;
}

}  // namespace station
