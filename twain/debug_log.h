// The diagnostic trace. A DebugLog is scoped: an operation creates one, writes
// through it and destroys it; writers nest (the dispatcher's stays open while
// the handler writes through its own). The writer adds nothing to a message.
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define DEBUGLOG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DEBUGLOG_PRINTF(fmt, args)
#endif

constexpr unsigned long DumpToFile = 42;      // '*': TALVENIX.LOG beside the module
constexpr unsigned long DumpToDebugger = 66;  // 'B': OutputDebugStringA

class DebugLog {
public:
    DebugLog();
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // Whether anything written reaches a log: work done only for the log
    // (reading version resources, the system report) is skipped otherwise.
    static bool On();

    // printf-style; the result is cut to 511 characters and written unchanged.
    DebugLog& Write(const char* format, ...) DEBUGLOG_PRINTF(2, 3);

private:
    FILE* file_ = nullptr;
};
