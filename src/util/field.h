// Picking a named number out of a command's output text.
#pragma once

#include <cstdint>

constexpr int kFieldDecimal = 0;  // "name<delim>1234"
constexpr int kFieldHex = 1;      // "name<delim>0x1f": two prefix characters, then hex digits

// What getFieldNumber found.
enum FieldResult { kFieldMissing = -1, kFieldNoNumber = 0, kFieldNumber = 1 };

// Finds fieldName followed at once by the delimiter's character and converts
// the number behind it into *value, which is written only when a number was
// converted.  Logs the value ("get field value ...") or the missing name.
FieldResult getFieldNumber(const char *text, const char *fieldName, int32_t *value, const char *delimiter,
                           int format);

// The same, as the readers have always used it: 0 when the field was found
// (whether or not a number followed), -1 when it was not.
int GetValueFromField(const char *text, const char *fieldName, int32_t *value, const char *delimiter, int format);
