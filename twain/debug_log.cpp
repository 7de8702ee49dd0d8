#include "twain/debug_log.h"

#include <cstdarg>
#include <cstring>

#include "twain/source.h"

DebugLog::DebugLog()
{
    if (DumpMode != DumpToFile) {
        return;
    }
    // Opened by full path: the application's current directory is never
    // touched, and the file lies beside the module whatever it is.
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s\\TALVENIX.LOG", ModuleDirectory);
    file_ = std::fopen(path, "a+");
}

DebugLog::~DebugLog()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool DebugLog::On()
{
    return DumpMode == DumpToFile || DumpMode == DumpToDebugger;
}

DebugLog& DebugLog::Write(const char* format, ...)
{
    if (!On()) {
        return *this;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (DumpMode == DumpToFile) {
        if (file_ != nullptr) {
            std::fputs(text, file_);
            std::fflush(file_);
        }
    } else {
        OutputDebugStringA(text);
    }
    return *this;
}
