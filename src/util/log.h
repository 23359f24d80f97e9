// Console log: one line per call on standard output, ended by CR LF.
#pragma once

// A line holds at most kLogMaxMsg characters of message; a longer message is
// cut there and still ends in CR LF.
constexpr int kLogLineSize = 1024;
constexpr int kLogMaxMsg = kLogLineSize - 3;

void rfLog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
