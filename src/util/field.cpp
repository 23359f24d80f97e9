#include "util/field.h"

#include <cstdlib>
#include <cstring>

#include "util/log.h"

FieldResult getFieldNumber(const char *text, const char *fieldName, int32_t *value, const char *delimiter,
                           int format)
{
    const char *pos = text;
    size_t nameLen = strlen(fieldName);

    for (;;) {
        const char *found = strstr(pos, fieldName);
        if (found == nullptr) {
            rfLog("GetValueFromField pStartPos error");
            return kFieldMissing;
        }
        pos = found + nameLen;
        if (*pos == delimiter[0])
            break;
    }

    const char *num = pos + 1;
    char *end = nullptr;
    bool converted = false;
    if (format == kFieldDecimal) {
        // Counters are 32-bit: a wider number keeps its low 32 bits, so that
        // differences of a wrapping counter stay right.
        long long v = strtoll(num, &end, 10);
        converted = end != num;
        if (converted)
            *value = (int32_t)(uint32_t)(unsigned long long)v;
        rfLog("get field value %s = %d.", fieldName, *value);
    } else if (format == kFieldHex) {
        // Skip the "0x" without looking at it, but never past the text's end.
        for (int i = 0; i < 2 && *num != '\0'; i++)
            num++;
        unsigned long long v = strtoull(num, &end, 16);
        converted = end != num;
        if (converted)
            *value = (int32_t)(uint32_t)v;
        rfLog("get field value %s = 0x%x.", fieldName, (unsigned)*value);
    }
    return converted ? kFieldNumber : kFieldNoNumber;
}

int GetValueFromField(const char *text, const char *fieldName, int32_t *value, const char *delimiter, int format)
{
    return getFieldNumber(text, fieldName, value, delimiter, format) == kFieldMissing ? -1 : 0;
}
