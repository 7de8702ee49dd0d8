#include "grabber/mil_binding.h"

MilEntryPoints Mil = {};

namespace {

template <typename Function>
bool ResolveEntry(HMODULE library, const char* name, Function& slot)
{
    FARPROC address = GetProcAddress(library, name);
    // GetProcAddress hands out one generic function type; the list gives
    // each entry its real one.
    slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return address != nullptr;
}

}  // namespace

bool ResolveMilEntryPoints(HMODULE library, MilEntryPoints& table, const char*& missing)
{
    table = {};
    missing = nullptr;
#define MIL_RESOLVE_ENTRY(name, type)                   \
    if (!ResolveEntry(library, #name, table.name)) {    \
        missing = #name;                                \
        table = {};                                     \
        return false;                                   \
    }
    MIL_ENTRY_POINTS(MIL_RESOLVE_ENTRY)
#undef MIL_RESOLVE_ENTRY
    return true;
}

bool MilBound()
{
    return Mil.MgenLutRamp != nullptr;
}
