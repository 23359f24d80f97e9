// Small text helpers shared inside the results library.
#pragma once

#include <cstddef>
#include <string>

namespace results {

// Length of the valid UTF-8 sequence that starts at s[pos] (1 to 4), or 0
// when the bytes there are not valid UTF-8 (overlong forms, surrogates and
// code points above U+10FFFF included).
size_t validUtf8Prefix(const std::string &s, size_t pos);

// The shortest decimal text that reads back as the same double ("1000",
// "0.25", "-372").  Only for finite values.
std::string formatNumber(double d);

}  // namespace results
