// The measurements the station records, as people read them (see measures.h).
#include "station/measures.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "format/text.h"

namespace station {

namespace {

constexpr MeasureKind kLimited = MeasureKind::Limited;
constexpr MeasureKind kBook = MeasureKind::Bookkeeping;

// The commands that are one request, and what every tester step records
// beside its own measurements.  Resolutions a factory engineer reads:
// finer digits are below what the tester resolves or what the path loss is
// known to.
const MeasureDecl kCommon[] = {
    {"count", "", 0, kLimited},  // rx, stop-rx
    {"pa1", "", 0, kLimited},    // pa-read
    {"pa2", "", 0, kLimited},
    {"pa3", "", 0, kLimited},
    {"path_loss", "dB", 2, kBook},
    {"tester_wait_ms", "ms", 0, kBook},
    {"tester_held_ms", "ms", 0, kBook},
};

// The steps' own lists, handed over at start-up (constant-initialised, so
// a declaration before main finds it ready).
struct StepList {
    const char *command;
    const MeasureDecl *decls;
    size_t count;
};
constexpr size_t kMaxStepLists = 64;
StepList gSteps[kMaxStepLists];
size_t gStepCount = 0;

const MeasureInfo kUnknown = {"", 3, kBook, false};

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// name against a declared name, whose placeholders "<k>" (digits) and
// "<dBm>" (a number) each stand for a part of the name.
bool matches(std::string_view pattern, std::string_view name) {
    size_t open = pattern.find('<');
    if (open == std::string_view::npos) return pattern == name;
    if (name.substr(0, open) != pattern.substr(0, open)) return false;
    size_t close = pattern.find('>', open);
    if (close == std::string_view::npos) return false;
    std::string_view hole = pattern.substr(open, close + 1 - open), rest = pattern.substr(close + 1);
    for (size_t len = 1; open + len <= name.size(); ++len) {
        std::string_view middle = name.substr(open, len);
        bool fits = hole == "<k>" ? allDigits(middle) : format::parseNumber(middle).has_value();
        if (fits && matches(rest, name.substr(open + len))) return true;
    }
    return false;
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

void declareStepMeasures(const char *command, const MeasureDecl *decls, size_t count) {
    if (gStepCount < kMaxStepLists) gSteps[gStepCount++] = {command, decls, count};
}

namespace {

const MeasureDecl *find(const MeasureDecl *d, size_t n, std::string_view name) {
    for (size_t k = 0; k < n; ++k)
        if (matches(d[k].name, name)) return &d[k];
    return nullptr;
}

MeasureInfo infoOf(const MeasureDecl &d) { return {d.unit, d.decimals, d.kind, true}; }

}  // namespace

MeasureInfo measureInfo(std::string_view name, std::string_view command) {
    for (size_t i = 0; i < gStepCount && !command.empty(); ++i)
        if (command == gSteps[i].command)
            if (const MeasureDecl *d = find(gSteps[i].decls, gSteps[i].count, name)) return infoOf(*d);
    if (const MeasureDecl *d = find(kCommon, sizeof kCommon / sizeof kCommon[0], name)) return infoOf(*d);
    for (size_t i = 0; i < gStepCount; ++i)
        if (const MeasureDecl *d = find(gSteps[i].decls, gSteps[i].count, name)) return infoOf(*d);
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
