// rfprobe station: numbers as engineers type them.
#include "station/args/numbers.h"

#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "station/args/command.h"

namespace station {

bool fail(char *err, size_t errLen, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errLen, fmt, ap);
    va_end(ap);
    return false;
}

namespace {

enum class Num { Ok, Syntax, Range };

// Decimal, or hexadecimal with 0x.  A leading zero does not mean octal.
Num parseNumber(const char *s, long long lo, long long hi, long long *out, bool *isHex) {
    const char *p = s;
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (hex) p += 2;
    if (*p == '\0') return Num::Syntax;
    unsigned long long v = 0;
    bool big = false;
    for (; *p; ++p) {
        int d;
        unsigned char c = (unsigned char)*p;
        if (isdigit(c))
            d = c - '0';
        else if (hex && isxdigit(c))
            d = tolower(c) - 'a' + 10;
        else
            return Num::Syntax;
        if (v > (1ULL << 40))
            big = true;
        else
            v = v * (hex ? 16 : 10) + (unsigned)d;
    }
    if (big) return Num::Range;
    long long x = neg ? -(long long)v : (long long)v;
    if (x < lo || x > hi) return Num::Range;
    *out = x;
    if (isHex) *isHex = hex;
    return Num::Ok;
}

// "D[.F]" with at most `decimals` fractional digits, scaled by 10^decimals.
Num parseFixed(const char *s, int decimals, unsigned long long *out) {
    const char *p = s;
    unsigned long long v = 0;
    int digits = 0, frac = -1;
    for (; *p; ++p) {
        if (*p == '.' && frac < 0) {
            frac = 0;
            continue;
        }
        if (!isdigit((unsigned char)*p)) return Num::Syntax;
        if (frac >= 0) {
            if (frac == decimals) {
                if (*p != '0') return Num::Range;  // more precision than can be sent
                continue;
            }
            ++frac;
        }
        ++digits;
        if (v > (1ULL << 40)) return Num::Range;
        v = v * 10 + (unsigned)(*p - '0');
    }
    if (digits == 0) return Num::Syntax;
    for (int i = frac < 0 ? 0 : frac; i < decimals; ++i) v *= 10;
    *out = v;
    return Num::Ok;
}

}  // namespace

bool getNumber(const char *what, const char *s, long long lo, long long hi, long long *out,
               char *err, size_t errLen) {
    switch (parseNumber(s, lo, hi, out, nullptr)) {
    case Num::Ok:
        return true;
    case Num::Syntax:
        return fail(err, errLen, "%s '%s' is not a number", what, s);
    case Num::Range:
        break;
    }
    return fail(err, errLen, "%s %s is out of range (%lld..%lld)", what, s, lo, hi);
}

bool getCoefficient(const char *what, const char *s, int16_t *out, char *err, size_t errLen) {
    long long v;
    bool hex = false;
    Num n = parseNumber(s, -0x80000000LL, 0xFFFFFFFFLL, &v, &hex);
    if (n == Num::Syntax) return fail(err, errLen, "%s '%s' is not a number", what, s);
    if (n == Num::Ok && hex && v >= 0 &&
        (v <= 0xFFFF || (v >= 0xFFFF8000LL && v <= 0xFFFFFFFFLL))) {
        *out = (int16_t)(uint16_t)(v & 0xFFFF);
        return true;
    }
    if (n == Num::Ok && !hex && v >= -32768 && v <= 32767) {
        *out = (int16_t)v;
        return true;
    }
    return fail(err, errLen, "%s %s is out of range (-32768..32767, or 0x0000..0xffff)", what, s);
}

bool getPower(const char *s, uint32_t *tenths, char *err, size_t errLen) {
    unsigned long long v = 0;
    Num n = s[0] == '-' && parseFixed(s + 1, 6, &v) == Num::Ok ? Num::Range : parseFixed(s, 1, &v);
    if (n == Num::Syntax)
        return fail(err, errLen, "power '%s' is not a number of dBm (like 17.5)", s);
    if (n == Num::Range && s[0] != '-' && parseFixed(s, 6, &v) == Num::Ok)
        return fail(err, errLen, "power %s has more than one decimal; it is sent in tenths of a dBm",
                    s);
    if (n != Num::Ok || v > kMaxPowerTenths)
        return fail(err, errLen, "power %s is out of range (0.0..%u.%u dBm)", s,
                    kMaxPowerTenths / 10, kMaxPowerTenths % 10);
    *tenths = (uint32_t)v;
    return true;
}

bool getSeconds(const char *what, const char *s, uint32_t *ms, char *err, size_t errLen) {
    unsigned long long v = 0;
    Num n = s[0] == '-' && parseFixed(s + 1, 3, &v) == Num::Ok ? Num::Range : parseFixed(s, 3, &v);
    if (n == Num::Syntax)
        return fail(err, errLen, "%s '%s' is not a number of seconds", what, s);
    if (n != Num::Ok || v > kMaxWaitMs)
        return fail(err, errLen, "%s %s is out of range (0..%u seconds, at most 3 decimals)", what,
                    s, kMaxWaitMs / 1000);
    *ms = (uint32_t)v;
    return true;
}

namespace {

// [-+]D[.F] or [-+].F: plain decimal, no exponent, no hex, no inf or nan.
bool isDecimal(const char *s, size_t len) {
    size_t i = 0, digits = 0;
    bool dot = false;
    if (i < len && (s[i] == '-' || s[i] == '+')) ++i;
    for (; i < len; ++i) {
        if (s[i] == '.' && !dot)
            dot = true;
        else if (isdigit((unsigned char)s[i]))
            ++digits;
        else
            return false;
    }
    return digits > 0 && digits <= 15;
}

// Text that isDecimal accepted (from_chars takes no '+').
double decimalValue(const char *s, size_t len) {
    if (len > 0 && s[0] == '+') ++s, --len;
    double v = 0;
    std::from_chars(s, s + len, v);
    return v;
}

}  // namespace

bool getDecimal(const char *what, const char *s, double *out, char *err, size_t errLen) {
    if (!isDecimal(s, strlen(s)))
        return fail(err, errLen, "%s '%s' is not a decimal number (like 950 or -372.5)", what, s);
    *out = decimalValue(s, strlen(s));
    return true;
}

bool getRange(const char *what, const char *s, bool *hasLow, double *low, bool *hasHigh,
              double *high, char *err, size_t errLen) {
    const char *dots = strstr(s, "..");
    if (!dots || strstr(dots + 2, "..") || dots[2] == '.')
        return fail(err, errLen, "%s '%s' is not a range LOW..HIGH (like -400..-350 or 6000..)",
                    what, s);
    size_t lowLen = (size_t)(dots - s);
    const char *hi = dots + 2;
    *hasLow = lowLen > 0;
    *hasHigh = *hi != '\0';
    if (!*hasLow && !*hasHigh)
        return fail(err, errLen, "%s '%s' gives neither end of the range", what, s);
    if ((*hasLow && !isDecimal(s, lowLen)) || (*hasHigh && !isDecimal(hi, strlen(hi))))
        return fail(err, errLen, "%s '%s': both ends must be decimal numbers (like -400..-350)",
                    what, s);
    if (*hasLow) *low = decimalValue(s, lowLen);
    if (*hasHigh) *high = decimalValue(hi, strlen(hi));
    if (*hasLow && *hasHigh && *low > *high)
        return fail(err, errLen, "%s '%s': the low end is above the high end", what, s);
    return true;
}

}  // namespace station
