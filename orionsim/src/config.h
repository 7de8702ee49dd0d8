// The environment controls of the simulated board, read when a system is
// allocated.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "render.h"

namespace orionsim {

enum Fault : unsigned {
    kFaultMappAlloc = 1u << 0,
    kFaultMsysAlloc = 1u << 1,
    kFaultMdispAlloc = 1u << 2,
    kFaultMbufAllocColor = 1u << 3,
    kFaultHostAddress = 1u << 4,
    kFaultMbufSave = 1u << 5,
};

struct Config {
    long boardType = 40;
    long boardRevision = 1;
    unsigned long memoryKb = 65536;
    std::vector<std::string> rejectFormats;   // upper case
    std::vector<std::string> moreFormats;     // upper case, each run as M_CCIR
    std::optional<long> colorMode;
    const BufferFormat* colorFormat = &DefaultColorBufferFormat();
    std::optional<long> frameMs;
    PatternKind pattern = PatternKind::Live;
    bool frameStamp = false;
    int noise = 0;
    unsigned faults = 0;
};

using EnvReader = std::function<std::optional<std::string>(const char* name)>;

// Values that do not parse leave the default in place.
Config ReadConfig(const EnvReader& env);
unsigned ParseFaults(const std::string& list);
std::vector<std::string> SplitList(const std::string& list);  // trimmed, upper case, no empties
std::optional<long> ParseLong(const std::string& text);       // decimal or 0x hex, whole text

}  // namespace orionsim
