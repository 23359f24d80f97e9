// rfprobe station: reading a step's typed arguments (see types.h).
#include "station/args/types.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "station/args/numbers.h"

namespace station {

namespace {

constexpr double kLevelLowDbm = -150, kLevelHighDbm = 30;

bool getLevel(const char *what, const char *s, double *dbm, char *err, size_t errLen) {
    if (!getDecimal(what, s, dbm, err, errLen)) return false;
    if (*dbm < kLevelLowDbm || *dbm > kLevelHighDbm)
        return fail(err, errLen, "%s %s dBm is outside -150..30", what, s);
    return true;
}

// Splits "a,b,c" and reads each part with one().
template <class F>
bool eachOfList(const char *s, F one) {
    std::string list = s;
    for (size_t at = 0;;) {
        size_t comma = list.find(',', at);
        if (!one(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at)))
            return false;
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
}

bool readLevels(const ArgDef &a, const char *s, Levels *l, char *err, size_t errLen) {
    l->count = 0;
    l->range = strstr(s, "..") != nullptr;
    if (l->range) {
        bool lo = false, hi = false;
        if (!getRange(a.what, s, &lo, &l->from, &hi, &l->to, err, errLen)) return false;
        if (!lo || !hi) return fail(err, errLen, "%s '%s' needs both ends (like -96..-70)", a.what, s);
        char b[32];
        snprintf(b, sizeof b, "%g", l->from);
        if (!getLevel(a.what, b, &l->from, err, errLen)) return false;
        snprintf(b, sizeof b, "%g", l->to);
        return getLevel(a.what, b, &l->to, err, errLen);
    }
    return eachOfList(s, [&](const std::string &one) {
        double v;
        if (!getLevel(a.what, one.c_str(), &v, err, errLen)) return false;
        if (l->count == Levels::kMax) return fail(err, errLen, "%s: at most %u levels", a.what, Levels::kMax);
        l->dbm[l->count++] = v;
        return true;
    });
}

bool readPowers(const ArgDef &a, const char *s, SetPowers *p, char *err, size_t errLen) {
    p->count = 0;
    p->given = true;
    return eachOfList(s, [&](const std::string &one) {
        uint32_t tenths;
        if (!getPower(one.c_str(), &tenths, err, errLen)) return false;
        if (p->count == SetPowers::kMax)
            return fail(err, errLen, "%s: at most %u powers", a.what, SetPowers::kMax);
        p->dbm[p->count++] = tenths / 10.0;
        return true;
    });
}

// A range of levels taken at its step.
bool expand(const ArgDef &a, Levels *l, char *err, size_t errLen) {
    double step = l->step.db;
    if (!l->range) {
        if (step != 0) return fail(err, errLen, "%s: a step applies to a range LO..HI only", a.what);
        return true;
    }
    if (!(step > 0)) return fail(err, errLen, "%s %g..%g needs a step above 0 dB", a.what, l->from, l->to);
    if (l->from > l->to) return fail(err, errLen, "%s %g..%g: the low end is above the high end", a.what, l->from, l->to);
    double n = std::floor((l->to - l->from) / step + 1e-9) + 1;
    if (n > Levels::kMax)
        return fail(err, errLen, "%s %g..%g at %g dB is %.0f levels; at most %u", a.what, l->from, l->to, step, n,
                    Levels::kMax);
    l->count = (uint8_t)n;
    for (unsigned i = 0; i < l->count; ++i) l->dbm[i] = std::round((l->from + i * step) * 1e6) / 1e6;
    return true;
}

}  // namespace

bool convertTyped(const ArgDef &a, const char *s, void *at, char *err, size_t errLen) {
    switch (a.conv) {
    case Conv::Integer: {
        long long v;
        if (!getNumber(a.what, s, a.lo, a.hi, &v, err, errLen)) return false;
        *static_cast<long long *>(at) = v;  // every Integer<> is its one long long
        return true;
    }
    case Conv::Level:
        return getLevel(a.what, s, &static_cast<Level *>(at)->dbm, err, errLen);
    case Conv::Decibels:
        return getDecimal(a.what, s, &static_cast<Decibels *>(at)->db, err, errLen);
    case Conv::LevelList:
        return readLevels(a, s, static_cast<Levels *>(at), err, errLen);
    case Conv::PowerList:
        return readPowers(a, s, static_cast<SetPowers *>(at), err, errLen);
    case Conv::Span: {
        Span &r = *static_cast<Span *>(at);
        bool lo = false, hi = false;
        if (!getRange(a.what, s, &lo, &r.low, &hi, &r.high, err, errLen)) return false;
        if (!lo || !hi) return fail(err, errLen, "%s '%s' needs both ends (like 5..21)", a.what, s);
        return true;
    }
    case Conv::Seconds:
        return getSeconds(a.what, s, &static_cast<Duration *>(at)->ms, err, errLen);
    case Conv::Bandwidth: {
        long long v;
        if (!getNumber(a.what, s, 0, 0x7FFFFFFF, &v, err, errLen)) return false;
        if (v != 20 && v != 40 && v != 80 && v != 160)
            return fail(err, errLen, "%s %s is not one of 20, 40, 80, 160 (MHz)", a.what, s);
        static_cast<Bandwidth *>(at)->mhz = (int)v;
        return true;
    }
    case Conv::Path: {
        FileName &f = *static_cast<FileName *>(at);
        if (strlen(s) >= sizeof f.path) return fail(err, errLen, "%s file name is too long", a.what);
        snprintf(f.path, sizeof f.path, "%s", s);
        return true;
    }
    case Conv::Flag:
        static_cast<Flag *>(at)->on = true;
        return true;
    default:
        return fail(err, errLen, "%s: not a type a step's argument may have", a.what);
    }
}

bool finishTyped(const ArgDef &a, void *at, char *err, size_t errLen) {
    if (a.conv == Conv::LevelList) return expand(a, static_cast<Levels *>(at), err, errLen);
    return true;
}

}  // namespace station
