// The call trace (ORIONSIM_TRACE): one line per call, the entry's name and
// then its arguments separated by single blanks.
#pragma once

#include <string>

namespace orionsim {

class TraceLine {
public:
    explicit TraceLine(const char* entry) : text_(entry) {}
    TraceLine& Int(long v);              // signed decimal
    TraceLine& Double(double v);         // %g
    TraceLine& Text(const char* s);      // "text"; a null pointer is written as 0
    TraceLine& Pointer(const void* p);   // 0 or 1
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

// Appends `line` and a line feed to the file at `path`. The file is opened
// and closed per line so that a reader sees every call as soon as it returns
// and several processes can share one trace.
bool AppendTraceLine(const std::string& path, const std::string& line);

}  // namespace orionsim
