#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void rfLog(const char *fmt, ...)
{
    char line[kLogLineSize];
    va_list ap;

    va_start(ap, fmt);
    int n = vsnprintf(line, kLogMaxMsg + 1, fmt, ap);
    va_end(ap);
    if (n < 0)
        n = 0;
    if (n > kLogMaxMsg)
        n = kLogMaxMsg;
    line[n] = '\r';
    line[n + 1] = '\n';
    line[n + 2] = '\0';
    // One printf per line, so that lines from the worker thread and the main
    // thread never mix inside a line; "%s" keeps any '%' in the text literal.
    printf("%s", line);
}
