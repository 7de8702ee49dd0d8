// The application's and the system's entry points, and the freeing of a whole system.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "mil.h"
#include "state.h"
#include "trace.h"

namespace orionsim {

namespace {

constexpr const char* kSystemDescriptor = "\\\\.\\M_SYSTEM_ORION";
constexpr long kErrorItem = 0x40000000;

void FreeDisplayLocked(long id, Pending& pending) {
    Library& lib = Lib();
    if (Display* d = Find(lib.displays, id)) {
        DetachDisplayLocked(*d, pending);
        lib.displays.erase(id);
    }
}

void FreeSystemLocked(long id, Pending& pending) {
    Library& lib = Lib();
    std::vector<long> ids;
    for (auto& [k, d] : lib.digitizers) if (d->sys == id) ids.push_back(k);
    for (long k : ids) FreeDigitizerLocked(k, pending);
    ids.clear();
    for (auto& [k, d] : lib.displays) if (d->sys == id) ids.push_back(k);
    for (long k : ids) FreeDisplayLocked(k, pending);
    ids.clear();
    for (auto& [k, b] : lib.buffers) if (b->sys == id && !b->parent) ids.push_back(k);
    for (long k : ids) FreeBufferLocked(k, pending);
    lib.systems.erase(id);
}

}  // namespace

}  // namespace orionsim

using namespace orionsim;

// --- application -------------------------------------------------------------

MIL_ID __stdcall MappAlloc(long initFlag, MIL_ID* id) {
    Call call(TraceLine("MappAlloc").Int(initFlag).Pointer(id));
    Lock lock(Lib().lock);
    StoreId(id, 0);
    g_reportErrors = true;  // a new application starts with error reporting on
    const auto fail = GetEnv("ORIONSIM_FAIL");
    if (fail && (ParseFaults(*fail) & kFaultMappAlloc)) return call.Fail("the application could not be allocated (simulated fault)");
    const long newId = Lib().nextId++;
    Lib().apps.emplace(newId, std::make_unique<Application>(Application{newId}));
    return StoreId(id, newId);
}

void __stdcall MappFree(MIL_ID app) {
    Call call(TraceLine("MappFree").Int(app));
    Pending pending;
    {
        Lock lock(Lib().lock);
        if (!Find(Lib().apps, app)) return (void)call.Fail(IdText("application", app));
        std::vector<long> systems;
        for (auto& [k, s] : Lib().systems) if (s->app == app) systems.push_back(k);
        for (long k : systems) FreeSystemLocked(k, pending);
        Lib().apps.erase(app);
    }
    pending.Finish();
}

void __stdcall MappControl(long item, long value) {
    Call call(TraceLine("MappControl").Int(item).Int(value));
    if (item != kErrorItem) return (void)call.Fail("unsupported control item " + std::to_string(item));
    if (value != 0 && value != 1) return (void)call.Fail("unsupported error reporting value " + std::to_string(value));
    g_reportErrors = value == 1;
}

// --- system --------------------------------------------------------------

MIL_ID __stdcall MsysAlloc(const char* descriptor, long num, long initFlag, MIL_ID* id) {
    Call call(TraceLine("MsysAlloc").Text(descriptor).Int(num).Int(initFlag).Pointer(id));
    Lock lock(Lib().lock);
    StoreId(id, 0);
    Config config = ReadConfig(GetEnv);
    if (config.faults & kFaultMsysAlloc) return call.Fail("the system could not be allocated (simulated fault)");
    if (!descriptor) return call.Fail("no system descriptor");
    if (Upper(descriptor) != Upper(kSystemDescriptor))
        return call.Fail(std::string("unknown system descriptor \"") + descriptor + "\"");
    if (num != 0 && num != kDefault) return call.Fail("no board with device number " + std::to_string(num));
    if (Lib().apps.empty()) return call.Fail("no application allocated");
    auto s = std::make_unique<System>();
    s->id = Lib().nextId++;
    s->app = Lib().apps.rbegin()->first;
    s->memoryBytes = static_cast<uint64_t>(config.memoryKb) * 1024;
    s->config = std::move(config);
    const long newId = s->id;
    Lib().systems.emplace(newId, std::move(s));
    return StoreId(id, newId);
}

void __stdcall MsysFree(MIL_ID sys) {
    Call call(TraceLine("MsysFree").Int(sys));
    Pending pending;
    {
        Lock lock(Lib().lock);
        if (!Find(Lib().systems, sys)) return (void)call.Fail(IdText("system", sys));
        FreeSystemLocked(sys, pending);
    }
    pending.Finish();
}

long __stdcall MsysInquire(MIL_ID sys, long item, void* result) {
    Call call(TraceLine("MsysInquire").Int(sys).Int(item).Pointer(result));
    Lock lock(Lib().lock);
    System* s = Find(Lib().systems, sys);
    if (!s) return Answer(result, call.Fail(IdText("system", sys)));
    switch (item) {
    case 2014: return Answer(result, s->config.boardType);
    case 2015: return Answer(result, s->config.boardRevision);
    default: return Answer(result, call.Fail("unsupported inquiry item " + std::to_string(item)));
    }
}

