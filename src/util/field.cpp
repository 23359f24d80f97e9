#include "util/field.h"

#include <cstdlib>
#include <cstring>

#include "util/log.h"

int GetValueFromField(const char *text, const char *fieldName, int32_t *value, const char *delimiter, int format)
{
    const char *pos = text;
    size_t nameLen = strlen(fieldName);

    for (;;) {
        const char *found = strstr(pos, fieldName);
        if (found == nullptr) {
            rfLog("GetValueFromField pStartPos error");
            return -1;
        }
        pos = found + nameLen;
        if (*pos == delimiter[0])
            break;
    }

    const char *num = pos + 1;
    char *end = nullptr;
    if (format == kFieldDecimal) {
        // Counters are 32-bit: a wider number keeps its low 32 bits, so that
        // differences of a wrapping counter stay right.
        long long v = strtoll(num, &end, 10);
        if (end != num)
            *value = (int32_t)(uint32_t)(unsigned long long)v;
        rfLog("get field value %s = %d.", fieldName, *value);
    } else if (format == kFieldHex) {
        // Skip the "0x" without looking at it, but never past the text's end.
        for (int i = 0; i < 2 && *num != '\0'; i++)
            num++;
        unsigned long long v = strtoull(num, &end, 16);
        if (end != num)
            *value = (int32_t)(uint32_t)v;
        rfLog("get field value %s = 0x%x.", fieldName, (unsigned)*value);
    }
    return 0;
}
