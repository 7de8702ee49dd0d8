#include "config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace orionsim {

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> items;
    std::string cur;
    auto flush = [&] {
        size_t b = cur.find_first_not_of(" \t"), e = cur.find_last_not_of(" \t");
        if (b != std::string::npos) items.push_back(cur.substr(b, e - b + 1));
        cur.clear();
    };
    for (char c : list) {
        if (c == ',') flush();
        else cur += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    flush();
    return items;
}

std::optional<long> ParseLong(const std::string& text) {
    size_t b = text.find_first_not_of(" \t"), e = text.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    const std::string t = text.substr(b, e - b + 1);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(t.c_str(), &end, 0);
    if (errno != 0 || end == t.c_str() || *end != '\0') return std::nullopt;
    if (v < -2147483648LL || v > 4294967295LL) return std::nullopt;
    return static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(v)));
}

unsigned ParseFaults(const std::string& list) {
    static const struct { const char* name; unsigned bit; } kNames[] = {
        {"MAPPALLOC", kFaultMappAlloc},       {"MSYSALLOC", kFaultMsysAlloc},
        {"MDISPALLOC", kFaultMdispAlloc},     {"MBUFALLOCCOLOR", kFaultMbufAllocColor},
        {"HOSTADDRESS", kFaultHostAddress},   {"MBUFSAVE", kFaultMbufSave},
    };
    unsigned faults = 0;
    for (const auto& item : SplitList(list)) {
        for (const auto& n : kNames) {
            if (item == n.name) faults |= n.bit;
        }
    }
    return faults;
}

Config ReadConfig(const EnvReader& env) {
    Config c;
    if (auto v = env("ORIONSIM_BOARD_TYPE")) {
        if (auto n = ParseLong(*v)) c.boardType = *n;
    }
    if (auto v = env("ORIONSIM_BOARD_REVISION")) {
        if (auto n = ParseLong(*v)) c.boardRevision = *n;
    }
    if (auto v = env("ORIONSIM_MEMORY_KB")) {
        // At most 1 GB: the board's memory is mirrored in the caller's address space.
        if (auto n = ParseLong(*v); n && *n >= 0 && *n <= 1048576) c.memoryKb = static_cast<unsigned long>(*n);
    }
    if (auto v = env("ORIONSIM_REJECT_FORMATS")) c.rejectFormats = SplitList(*v);
    if (auto v = env("ORIONSIM_MORE_FORMATS")) c.moreFormats = SplitList(*v);
    if (auto v = env("ORIONSIM_COLOR_MODE")) c.colorMode = ParseLong(*v);
    if (auto v = env("ORIONSIM_BUFFER_FORMAT")) {
        if (const BufferFormat* f = FindColorBufferFormat(*v)) c.colorFormat = f;
    }
    if (auto v = env("ORIONSIM_FRAME_MS")) {
        if (auto n = ParseLong(*v); n && *n >= 0 && *n <= 10000) c.frameMs = *n;
    }
    if (auto v = env("ORIONSIM_PATTERN")) {
        const auto items = SplitList(*v);
        if (items.size() == 1 && items[0] == "GRADIENT") c.pattern = PatternKind::Gradient;
    }
    if (auto v = env("ORIONSIM_FRAME_STAMP")) c.frameStamp = *v == "1";
    if (auto v = env("ORIONSIM_NOISE")) {
        if (auto n = ParseLong(*v); n && *n >= 0 && *n <= 127) c.noise = static_cast<int>(*n);
    }
    if (auto v = env("ORIONSIM_FAIL")) c.faults = ParseFaults(*v);
    return c;
}

}  // namespace orionsim
