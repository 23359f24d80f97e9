// What every writer shares: UTF-8 checking and the text form of numbers.
// Numbers never depend on the C locale: a station with LC_NUMERIC=de_DE
// writes "0.25", not "0,25".
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace format {

// Length of the valid UTF-8 sequence that starts at s[pos] (1 to 4), or 0
// when the bytes there are not valid UTF-8 (overlong forms, surrogates and
// code points above U+10FFFF included).
size_t utf8Len(std::string_view s, size_t pos);

// The code point of the valid sequence of n bytes at s[pos].
char32_t utf8Decode(std::string_view s, size_t pos, size_t n);

// Text from outside the station (a tester's answers) as text every record
// and writer takes: valid UTF-8 sequences kept, any other byte read as
// Latin-1 (0xB0 becomes U+00B0, the degree sign), control characters (TAB, CR, DEL and the
// C1 controls too) a space, and at most maxBytes bytes, cut between
// characters.
std::string printableUtf8(std::string_view s, size_t maxBytes);

// s without a character cut short at its end (a lead byte with fewer
// continuation bytes than it announces): what snprintf leaves when UTF-8
// text does not fit its buffer.
std::string_view withoutCutTail(std::string_view s);

// U+FFFD, the replacement character, as UTF-8.
constexpr const char *kReplacement = "\xEF\xBF\xBD";

// Text that reads back as the same double, as %.15g (or %.16g, %.17g
// where needed) would write it without the locale: "1000", "100000",
// "0.25", "-372", "1e+20".  Only for finite values.
std::string number(double d);
// d with exactly `decimals` digits after the point ("1.500").
std::string fixed(double d, int decimals);
// The whole of s as a number (decimal point, optional exponent), or none.
std::optional<double> parseNumber(std::string_view s);

}  // namespace format
