#include "instrument/reply.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace instrument {

namespace {

struct UnitDef {
    Unit unit;
    const char *name;
};
const UnitDef kUnits[] = {{Unit::Dbm, "dBm"}, {Unit::Db, "dB"},   {Unit::Percent, "%"}, {Unit::Hz, "Hz"},
                          {Unit::KHz, "kHz"}, {Unit::MHz, "MHz"}, {Unit::Ppm, "ppm"}};

std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> split(const std::string &s, const std::string &sep) {
    std::vector<std::string> out;
    if (sep.empty()) return {s};
    size_t start = 0;
    for (size_t p; (p = s.find(sep, start)) != std::string::npos; start = p + sep.size())
        out.push_back(s.substr(start, p - start));
    out.push_back(s.substr(start));
    return out;
}


double hzPer(Unit u) { return u == Unit::KHz ? 1e3 : u == Unit::MHz ? 1e6 : 1; }

}  // namespace

bool parseUnit(const std::string &name, Unit *out) {
    for (const UnitDef &d : kUnits)
        if (name == d.name) {
            *out = d.unit;
            return true;
        }
    return false;
}

const char *unitName(Unit u) {
    for (const UnitDef &d : kUnits)
        if (d.unit == u) return d.name;
    return "?";
}

bool convertible(Unit from, Unit to) {
    if (from == to) return true;
    if (to == Unit::Db) return from == Unit::Percent;
    if (to == Unit::Ppm) return from == Unit::Hz || from == Unit::KHz || from == Unit::MHz;
    return false;
}

bool sameReply(const std::string &got, const std::string &want) {
    std::string g = trim(got), w = trim(want);
    if (g == w) return true;
    double a, b;
    Fault f;
    return parseNumber(g, &a, &f) && parseNumber(w, &b, &f) && a == b;
}

bool readValue(const std::string &reply, const ReplyFormat &f, double centreMhz, double *out, Fault *fault,
               std::string *why) {
    std::vector<std::string> fields = split(reply, f.separator);
    int need = std::max(f.field, f.statusField) + 1;
    if ((int)fields.size() < need) {
        *fault = Fault::BadReply;
        *why = "reply " + quotedReply(reply) + " has " + std::to_string(fields.size()) + " field" +
               (fields.size() == 1 ? "" : "s") + ", the profile reads field " + std::to_string(need - 1);
        return false;
    }
    if (f.statusField >= 0) {
        const std::string &st = fields[(size_t)f.statusField];
        bool ok = false;
        for (const std::string &v : f.valid) ok |= sameReply(st, v);
        if (!ok) {
            std::string list;
            for (const std::string &v : f.valid) list += (list.empty() ? "" : ", ") + v;
            *fault = Fault::Instrument;
            *why = "the tester's status " + trim(st) + " (valid: " + list + ") in reply " + quotedReply(reply);
            return false;
        }
    }
    const std::string &text = fields[(size_t)f.field];
    double v;
    if (!parseNumber(text, &v, fault)) {
        *why = *fault == Fault::NotANumber ? "not-a-number (" + trim(text) + ")" : "not a number: " + quotedReply(reply);
        return false;
    }
    if (f.unit == f.recorded) {
        *out = v;
        return true;
    }
    *fault = Fault::Instrument;
    char buf[160];
    if (f.recorded == Unit::Db && f.unit == Unit::Percent) {
        if (!(v > 0)) {
            snprintf(buf, sizeof buf, "EVM of %g %% has no value in dB (reply %s)", v, quotedReply(reply).c_str());
            *why = buf;
            return false;
        }
        *out = 20 * std::log10(v / 100);
        return true;
    }
    if (f.recorded == Unit::Ppm && convertible(f.unit, Unit::Ppm)) {
        if (!(centreMhz > 0)) {
            *why = std::string("a frequency error in ") + unitName(f.unit) +
                   " needs the channel's centre frequency to become ppm, and there is none (reply " +
                   quotedReply(reply) + ")";
            return false;
        }
        *out = v * hzPer(f.unit) / centreMhz;  // Hz / (MHz * 1e6) * 1e6
        return true;
    }
    *why = std::string("a reply in ") + unitName(f.unit) + " cannot be recorded in " + unitName(f.recorded);
    return false;
}

}  // namespace instrument
