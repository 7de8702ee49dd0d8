#include "trace.h"

#include <cstdio>

namespace orionsim {

TraceLine& TraceLine::Int(long v) {
    text_ += ' ';
    text_ += std::to_string(v);
    return *this;
}

TraceLine& TraceLine::Double(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " %g", v);
    text_ += buf;
    return *this;
}

TraceLine& TraceLine::Text(const char* s) {
    if (!s) {
        text_ += " 0";
        return *this;
    }
    text_ += " \"";
    text_ += s;
    text_ += '"';
    return *this;
}

TraceLine& TraceLine::Pointer(const void* p) {
    text_ += p ? " 1" : " 0";
    return *this;
}

bool AppendTraceLine(const std::string& path, const std::string& line) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return false;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    return std::fclose(f) == 0;
}

}  // namespace orionsim
