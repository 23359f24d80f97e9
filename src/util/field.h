// Picking a named number out of a command's output text.
#pragma once

#include <cstdint>

constexpr int kFieldDecimal = 0;  // "name<delim>1234"
constexpr int kFieldHex = 1;      // "name<delim>0x1f": two prefix characters, then hex digits

// Finds fieldName followed at once by the delimiter's character and converts
// the number behind it into *value.  Returns 0 when the field was found
// (whether or not a number followed), -1 when it was not.
int GetValueFromField(const char *text, const char *fieldName, int32_t *value, const char *delimiter, int format);
