// rfprobe station: numbers as engineers type them.
//
// Each reader checks the text and the range and, on failure, writes a
// message that names the argument ("rate index 49 is out of range (0..48)").
// Numbers never depend on the C locale (std::from_chars here, and
// format::number to write them): a comma-decimal locale neither cuts
// "-372.5" at its point nor prints "0,5".
#pragma once

#include <cstddef>
#include <cstdint>

namespace station {

// Decimal, or hexadecimal with 0x, within lo..hi.
bool getNumber(const char *what, const char *s, long long lo, long long hi, long long *out,
               char *err, size_t errLen);

// A PA coefficient: decimal -32768..32767, or the 16-bit pattern in hex as
// the radio prints it (0xfe8c), or that pattern widened with its sign
// (0xfffffe8c) as the agent logs it.
bool getCoefficient(const char *what, const char *s, int16_t *out, char *err, size_t errLen);

// dBm with at most one decimal, in tenths, 0.0..kMaxPowerTenths.
bool getPower(const char *s, uint32_t *tenths, char *err, size_t errLen);

// Seconds with at most three decimals, in milliseconds, up to kMaxWaitMs.
bool getSeconds(const char *what, const char *s, uint32_t *ms, char *err, size_t errLen);

// A limit: a plain decimal number with at most 15 digits ("950", "-372.5");
// no exponent, hex, inf or nan.
bool getDecimal(const char *what, const char *s, double *out, char *err, size_t errLen);

// A range "LOW..HIGH" of two such numbers, either end left out ("-400..",
// "..-350") but not both, LOW <= HIGH.
bool getRange(const char *what, const char *s, bool *hasLow, double *low, bool *hasHigh,
              double *high, char *err, size_t errLen);

// printf into err; returns false, for "return fail(...)".
bool fail(char *err, size_t errLen, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

}  // namespace station
