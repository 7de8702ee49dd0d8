// Entry points of the simulated imaging library: application, system,
// digitizer and buffer objects. Displays are in display.cpp.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "mil.h"
#include "state.h"
#include "tiff.h"
#include "trace.h"

namespace orionsim {

namespace {

constexpr const char* kSystemDescriptor = "\\\\.\\M_SYSTEM_ORION";
constexpr long kErrorItem = 0x40000000;

std::atomic<bool> g_reportErrors{true};
CriticalSection g_traceLock;

int64_t NowUs() {
    static const LONGLONG freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<int64_t>(c.QuadPart / freq * 1000000 + (c.QuadPart % freq) * 1000000 / freq);
}

// Sleeps until the clock reaches `untilUs`, or the event is signalled.
// Returns false when the event ended the wait.
bool WaitUntil(int64_t untilUs, HANDLE event) {
    for (;;) {
        const int64_t left = untilUs - NowUs();
        if (left <= 0) return true;
        const DWORD ms = static_cast<DWORD>((left + 999) / 1000);
        if (event) {
            if (WaitForSingleObject(event, ms) == WAIT_OBJECT_0) return false;
        } else {
            Sleep(ms);
        }
    }
}

struct VideoFormat {
    const char* name;
    int width, height, bands;
    long colorMode;
    long frameMs;
};

constexpr VideoFormat kVideoFormats[] = {
    {"M_CCIR", 768, 576, 1, 0, 40},     {"M_RS170", 640, 480, 1, 0, 33},
    {"M_PAL", 768, 576, 3, 1, 40},      {"M_PAL_YC", 768, 576, 3, 4137, 40},
    {"M_PAL_RGB", 768, 576, 3, 8, 40},  {"M_NTSC", 640, 480, 3, 1, 33},
    {"M_NTSC_YC", 640, 480, 3, 4137, 33}, {"M_NTSC_RGB", 640, 480, 3, 8, 33},
};

std::string Upper(const char* s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

const VideoFormat* FindVideoFormat(const char* name) {
    const std::string u = Upper(name);
    for (const auto& f : kVideoFormats) {
        if (u == f.name) return &f;
    }
    return nullptr;
}

// Band selectors of the reference items; 0 or all-bands selects every band.
constexpr unsigned long kBandSelectors[3] = {0x20000000u, 0x40000000u, 0x80000000u};
constexpr unsigned long kAllBands = 0xEF200000u;
enum : long { kRefBlack = 4003, kRefWhite = 4005, kRefHue = 4006, kRefSaturation = 4007,
              kRefBrightness = 4008, kRefContrast = 4009 };

// Decodes a reference item into its type and band mask (bit b = band b).
// Returns false for an item that is not a reference with valid selectors.
bool DecodeReference(long item, long& type, unsigned& bandMask) {
    const unsigned long u = static_cast<unsigned long>(item);
    type = static_cast<long>(u & 0xFFFFu);
    const unsigned long sel = u & 0xFFFF0000u;
    if (type < kRefBlack || type > kRefContrast || type == 4004) return false;
    if (type == kRefBlack || type == kRefWhite) {
        if (sel == 0 || sel == kAllBands) {
            bandMask = 7;
            return true;
        }
        bandMask = 0;
        unsigned long rest = sel;
        for (int b = 0; b < 3; ++b) {
            if (sel & kBandSelectors[b]) bandMask |= 1u << b, rest &= ~kBandSelectors[b];
        }
        return rest == 0;
    }
    bandMask = 0;
    return sel == 0;
}

int BandOfSelector(long band) {
    if (band >= 0 && band <= 2) return static_cast<int>(band);
    for (int b = 0; b < 3; ++b) {
        if (static_cast<unsigned long>(band) == kBandSelectors[b]) return b;
    }
    return -1;
}

// --- freeing -------------------------------------------------------------

void HaltLocked(Digitizer& d, Pending& pending) {
    if (!d.thread) return;
    SetEvent(d.haltEvent);  // seen by the thread before its next write
    pending.threads.push_back(d.thread);
    pending.handles.push_back(d.haltEvent);
    d.thread = nullptr;
    d.haltEvent = nullptr;
    d.target = 0;
}

void FreeBufferLocked(long id, Pending& pending) {
    Library& lib = Lib();
    Buffer* b = Find(lib.buffers, id);
    if (!b) return;
    for (long child : std::vector<long>(b->children)) FreeBufferLocked(child, pending);
    for (auto& [_, d] : lib.digitizers) {
        if (d->target == id) HaltLocked(*d, pending);
    }
    for (auto& [_, disp] : lib.displays) {
        if (disp->buffer == id) DetachDisplayLocked(*disp, pending);
    }
    if (b->parent) {
        if (Buffer* p = Find(lib.buffers, b->parent)) std::erase(p->children, id);
    }
    if (System* s = Find(lib.systems, b->sys)) s->memoryUsed -= b->boardBytes;
    lib.buffers.erase(id);
}

void FreeDigitizerLocked(long id, Pending& pending) {
    Library& lib = Lib();
    if (Digitizer* d = Find(lib.digitizers, id)) {
        HaltLocked(*d, pending);
        lib.digitizers.erase(id);
    }
}

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

// --- grabbing ------------------------------------------------------------

void RenderInto(Digitizer& d, Buffer& b, uint64_t frame) {
    d.renderer->Render(frame, b.data, b.sizeX, b.sizeY, b.layout);
    DrawSelectedDisplaysLocked(b.id);
}

// The frame to grab next and the moment it is complete.
void NextFrame(Digitizer& d, uint64_t& frame, int64_t& readyUs) {
    if (d.frameMs <= 0) {
        frame = d.lastFrame + 1;
        readyUs = 0;
        return;
    }
    const int64_t period = static_cast<int64_t>(d.frameMs) * 1000;
    const int64_t now = NowUs() - d.originUs;
    frame = std::max<uint64_t>(static_cast<uint64_t>(now / period) + 1, d.lastFrame + 1);
    readyUs = d.originUs + static_cast<int64_t>(frame) * period;
}

struct GrabContext {
    long digitizer;
    HANDLE halt;
};

void GrabLoop(const GrabContext& ctx) {
    Library& lib = Lib();
    for (;;) {
        uint64_t frame = 0;
        int64_t readyUs = 0;
        {
            Lock lock(lib.lock);
            Digitizer* d = Find(lib.digitizers, ctx.digitizer);
            if (!d || WaitForSingleObject(ctx.halt, 0) == WAIT_OBJECT_0) return;
            NextFrame(*d, frame, readyUs);
        }
        // With no frame period a frame follows the other at once; the short
        // pause lets callers reach the lock.
        if (readyUs == 0) {
            if (WaitForSingleObject(ctx.halt, 1) == WAIT_OBJECT_0) return;
        } else if (!WaitUntil(readyUs, ctx.halt)) {
            return;
        }
        Lock lock(lib.lock);
        if (WaitForSingleObject(ctx.halt, 0) == WAIT_OBJECT_0) return;
        Digitizer* d = Find(lib.digitizers, ctx.digitizer);
        Buffer* b = d ? Find(lib.buffers, d->target) : nullptr;
        if (!b) return;
        RenderInto(*d, *b, frame);
        d->lastFrame = frame;
    }
}

DWORD WINAPI GrabThread(void* param) {
    {
        std::unique_ptr<GrabContext> ctx(static_cast<GrabContext*>(param));
        GrabLoop(*ctx);
    }
    FreeLibraryAndExitThread(ThisModule(), 0);
}

// Checks that `img` can be grabbed into; returns the error text or "".
std::string GrabTargetError(Buffer* b, long img) {
    if (!b) return IdText("buffer", img);
    if (b->parent || (b->attribute & kAttrLut) || !(b->attribute & kAttrGrab))
        return "buffer " + std::to_string(img) + " cannot be grabbed into (it needs the grab attribute)";
    return {};
}

void SaveBuffer(Call& call, const char* fileName, long id) {
    std::vector<uint8_t> file;
    {
        Lock lock(Lib().lock);
        Buffer* b = Find(Lib().buffers, id);
        if (!b) return (void)call.Fail(IdText("buffer", id));
        System* s = Find(Lib().systems, b->sys);
        if (s && (s->config.faults & kFaultMbufSave)) return (void)call.Fail("cannot write the file (simulated fault)");
        const int spp = b->bands == 3 ? 3 : 1;
        std::vector<uint8_t> samples(static_cast<size_t>(b->sizeX) * b->sizeY * spp);
        if (b->planar && b->bands == 3) {
            const size_t plane = static_cast<size_t>(b->sizeX) * b->sizeY;
            for (size_t i = 0; i < plane; ++i) {
                for (int k = 0; k < 3; ++k) samples[i * 3 + k] = b->data[k * plane + i];
            }
        } else {
            UnpackSamples(b->data, b->sizeX, b->sizeY, b->layout, samples.data());
        }
        file = EncodeTiff(b->sizeX, b->sizeY, spp, samples.data());
    }
    HANDLE h = CreateFileA(fileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        call.Fail(std::string("cannot create \"") + fileName + "\" (error " + std::to_string(GetLastError()) + ")");
        return;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(h, file.data(), static_cast<DWORD>(file.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != file.size()) call.Fail(std::string("cannot write \"") + fileName + "\"");
}

MIL_ID AllocBuffer(Call& call, long sys, long bands, long sizeX, long sizeY, long type, long attribute,
                   MIL_ID* id, bool colorCall) {
    Library& lib = Lib();
    System* s = Find(lib.systems, sys);
    if (!s) return call.Fail(IdText("system", sys));
    if (colorCall && (s->config.faults & kFaultMbufAllocColor))
        return call.Fail("the buffer could not be allocated (simulated fault)");
    if (bands != 1 && bands != 3) return call.Fail("unsupported number of bands " + std::to_string(bands));
    if (type != 8) return call.Fail("unsupported buffer type " + std::to_string(type) + " (only 8-bit unsigned)");
    if (sizeX < 1 || sizeY < 1 || sizeX > (1L << 26) || sizeY > (1L << 26))
        return call.Fail("unsupported buffer size " + std::to_string(sizeX) + " x " + std::to_string(sizeY));

    auto b = std::make_unique<Buffer>();
    b->sys = sys;
    b->sizeX = static_cast<int>(sizeX);
    b->sizeY = static_cast<int>(sizeY);
    b->bands = static_cast<int>(bands);
    b->attribute = attribute;
    if (bands == 1) {
        b->layout = PixelLayout::Mono8;
        b->format = kFormatMono8;
    } else if (attribute & kAttrLut) {
        b->planar = true;
        b->format = kFormatRgbPlanar | kFormatPlanar;
    } else {
        b->layout = s->config.colorFormat->layout;
        b->format = s->config.colorFormat->code;
    }
    const int bpp = b->planar ? 3 : BytesPerPixel(b->layout);
    const uint64_t bytes = static_cast<uint64_t>(sizeX) * sizeY * bpp;
    if (bytes > 0x40000000u) return call.Fail("buffer too large");
    if ((attribute & kAttrGrab) && !(attribute & kAttrLut)) {
        if (s->memoryUsed + bytes > s->memoryBytes) {
            return call.Fail("not enough grab memory for " + std::to_string(bytes) + " bytes (" +
                             std::to_string(s->memoryBytes - s->memoryUsed) + " left)");
        }
        b->boardBytes = bytes;
    }
    // Committed pages read as zeros and cost nothing until written, so the
    // grab memory probe's hundred buffers stay cheap.
    b->data = static_cast<uint8_t*>(VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!b->data) return call.Fail("out of host memory");
    b->bytes = static_cast<size_t>(bytes);
    s->memoryUsed += b->boardBytes;
    b->id = lib.nextId++;
    const long newId = b->id;
    lib.buffers.emplace(newId, std::move(b));
    return StoreId(id, newId);
}

}  // namespace

Call::Call(const TraceLine& line) : name_(line.str().substr(0, line.str().find(' '))) {
    if (auto path = GetEnv("ORIONSIM_TRACE"); path && !path->empty()) {
        std::lock_guard<CriticalSection> guard(g_traceLock);
        AppendTraceLine(*path, line.str());
    }
}

Call::~Call() {
    if (!error_.empty() && g_reportErrors.load()) {
        MessageBoxA(nullptr, error_.c_str(), "Imaging library error", MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
    }
}

long Call::Fail(const std::string& what) {
    if (error_.empty()) error_ = name_ + ": " + what;
    return 0;
}

std::string IdText(const char* kind, long id) { return "invalid " + std::string(kind) + " identifier " + std::to_string(id); }

long Answer(void* result, long value) {
    if (result) *static_cast<long*>(result) = value;
    return value;
}

long StoreId(MIL_ID* out, long id) {
    if (out) *out = id;
    return id;
}

std::optional<std::string> GetEnv(const char* name) {
    char small[512];
    DWORD n = GetEnvironmentVariableA(name, small, sizeof small);
    if (n == 0) return std::nullopt;
    if (n < sizeof small) return std::string(small, n);
    std::string big(n, '\0');
    n = GetEnvironmentVariableA(name, big.data(), n);
    big.resize(n);
    return big;
}

Buffer::~Buffer() {
    if (data && !parent) VirtualFree(data, 0, MEM_RELEASE);
}

void Pending::Finish() {
    for (HANDLE e : readyEvents) {
        WaitForSingleObject(e, 5000);
        CloseHandle(e);
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    for (HANDLE h : handles) CloseHandle(h);
    readyEvents.clear(), threads.clear(), handles.clear();
}

Library& Lib() {
    static Library lib;
    return lib;
}

HMODULE ThisModule() {
    HMODULE m = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModule), &m);
    return m;
}

HMODULE PinModule() {
    HMODULE m = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&PinModule), &m);
    return m;
}

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

// --- digitizer -------------------------------------------------------------

MIL_ID __stdcall MdigAlloc(MIL_ID sys, long devNum, const char* format, long initFlag, MIL_ID* id) {
    Call call(TraceLine("MdigAlloc").Int(sys).Int(devNum).Text(format).Int(initFlag).Pointer(id));
    Lock lock(Lib().lock);
    Library& lib = Lib();
    StoreId(id, 0);
    System* s = Find(lib.systems, sys);
    if (!s) return call.Fail(IdText("system", sys));
    if (devNum != 0 && devNum != kDefault) return call.Fail("no digitizer with device number " + std::to_string(devNum));
    if (!format) return call.Fail("no video format");
    const VideoFormat* f = FindVideoFormat(format);
    const auto& reject = s->config.rejectFormats;
    if (!f || std::find(reject.begin(), reject.end(), Upper(format)) != reject.end())
        return call.Fail(std::string("video format \"") + format + "\" is not supported");
    for (auto& [_, d] : lib.digitizers) {
        if (d->sys == sys) return call.Fail("the board's digitizer is already allocated (identifier " + std::to_string(d->id) + ")");
    }
    auto d = std::make_unique<Digitizer>();
    d->id = lib.nextId++;
    d->sys = sys;
    d->format = f->name;
    d->width = f->width, d->height = f->height, d->bands = f->bands;
    d->colorMode = s->config.colorMode.value_or(f->colorMode);
    d->frameMs = s->config.frameMs.value_or(f->frameMs);
    d->renderer = std::make_unique<FrameRenderer>(f->width, f->height, f->bands, s->config.pattern);
    d->originUs = NowUs();
    const long newId = d->id;
    lib.digitizers.emplace(newId, std::move(d));
    return StoreId(id, newId);
}

void __stdcall MdigFree(MIL_ID dig) {
    Call call(TraceLine("MdigFree").Int(dig));
    Pending pending;
    {
        Lock lock(Lib().lock);
        if (!Find(Lib().digitizers, dig)) return (void)call.Fail(IdText("digitizer", dig));
        FreeDigitizerLocked(dig, pending);
    }
    pending.Finish();
}

void __stdcall MdigGrab(MIL_ID dig, MIL_ID img) {
    Call call(TraceLine("MdigGrab").Int(dig).Int(img));
    Library& lib = Lib();
    uint64_t frame = 0;
    int64_t readyUs = 0;
    {
        Lock lock(lib.lock);
        Digitizer* d = Find(lib.digitizers, dig);
        if (!d) return (void)call.Fail(IdText("digitizer", dig));
        if (auto e = GrabTargetError(Find(lib.buffers, img), img); !e.empty()) return (void)call.Fail(e);
        if (d->thread) return (void)call.Fail("the digitizer is grabbing continuously; halt it first");
        NextFrame(*d, frame, readyUs);
    }
    if (readyUs) WaitUntil(readyUs, nullptr);
    Lock lock(lib.lock);
    Digitizer* d = Find(lib.digitizers, dig);
    Buffer* b = Find(lib.buffers, img);
    if (!d || !b) return (void)call.Fail("the digitizer or buffer was freed during the grab");
    RenderInto(*d, *b, frame);
    d->lastFrame = std::max(d->lastFrame, frame);
}

void __stdcall MdigGrabContinuous(MIL_ID dig, MIL_ID img) {
    Call call(TraceLine("MdigGrabContinuous").Int(dig).Int(img));
    Pending pending;
    {
        Lock lock(Lib().lock);
        Digitizer* d = Find(Lib().digitizers, dig);
        if (!d) return (void)call.Fail(IdText("digitizer", dig));
        if (auto e = GrabTargetError(Find(Lib().buffers, img), img); !e.empty()) return (void)call.Fail(e);
        HaltLocked(*d, pending);  // a second start retargets the running grab
        HANDLE halt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        auto* ctx = new GrabContext{dig, halt};
        PinModule();
        HANDLE t = halt ? CreateThread(nullptr, 0, GrabThread, ctx, 0, nullptr) : nullptr;
        if (!t) {
            delete ctx;
            if (halt) CloseHandle(halt);
            FreeLibrary(ThisModule());
            call.Fail("cannot start the grab thread");
        } else {
            d->thread = t;
            d->haltEvent = halt;
            d->target = img;
        }
    }
    pending.Finish();
}

void __stdcall MdigHalt(MIL_ID dig) {
    Call call(TraceLine("MdigHalt").Int(dig));
    Pending pending;
    {
        Lock lock(Lib().lock);
        Digitizer* d = Find(Lib().digitizers, dig);
        if (!d) return (void)call.Fail(IdText("digitizer", dig));
        HaltLocked(*d, pending);
    }
    pending.Finish();  // returns once the thread has written its last frame
}

long __stdcall MdigInquire(MIL_ID dig, long item, void* result) {
    Call call(TraceLine("MdigInquire").Int(dig).Int(item).Pointer(result));
    Lock lock(Lib().lock);
    Digitizer* d = Find(Lib().digitizers, dig);
    if (!d) return Answer(result, call.Fail(IdText("digitizer", dig)));
    switch (item) {
    case 1002: return Answer(result, d->width);
    case 1003: return Answer(result, d->height);
    case 1005: return Answer(result, d->bands);
    case 1007: return Answer(result, 8);
    case 1018: return Answer(result, d->colorMode);
    default: break;
    }
    long type = 0;
    unsigned mask = 0;
    if (!DecodeReference(item, type, mask)) return Answer(result, call.Fail("unsupported inquiry item " + std::to_string(item)));
    const Adjustments& a = d->adjustments;
    const int band = (mask & 1) ? 0 : ((mask & 2) ? 1 : 2);
    switch (type) {
    case kRefBlack: return Answer(result, a.black[band]);
    case kRefWhite: return Answer(result, a.white[band]);
    case kRefHue: return Answer(result, a.hue);
    case kRefSaturation: return Answer(result, a.saturation);
    case kRefBrightness: return Answer(result, a.brightness);
    default: return Answer(result, a.contrast);
    }
}

void __stdcall MdigChannel(MIL_ID dig, long channel) {
    Call call(TraceLine("MdigChannel").Int(dig).Int(channel));
    Lock lock(Lib().lock);
    Digitizer* d = Find(Lib().digitizers, dig);
    if (!d) return (void)call.Fail(IdText("digitizer", dig));
    d->channel = channel;
}

void __stdcall MdigControl(MIL_ID dig, long item, double value) {
    Call call(TraceLine("MdigControl").Int(dig).Int(item).Double(value));
    Lock lock(Lib().lock);
    if (!Find(Lib().digitizers, dig)) call.Fail(IdText("digitizer", dig));
}

void __stdcall MdigLut(MIL_ID dig, MIL_ID lut) {
    Call call(TraceLine("MdigLut").Int(dig).Int(lut));
    Lock lock(Lib().lock);
    Digitizer* d = Find(Lib().digitizers, dig);
    if (!d) return (void)call.Fail(IdText("digitizer", dig));
    if (lut == kDefault) {
        d->adjustments.lut = Adjustments::IdentityLuts();
    } else {
        Buffer* b = Find(Lib().buffers, lut);
        if (!b) return (void)call.Fail(IdText("buffer", lut));
        if (b->sizeX != 256 || b->sizeY != 1 || !(b->planar || b->bands == 1))
            return (void)call.Fail("buffer " + std::to_string(lut) + " is not a 256-entry look-up table");
        for (int band = 0; band < 3; ++band) {
            const uint8_t* src = b->data + (b->bands == 3 ? band * 256 : 0);
            std::memcpy(d->adjustments.lut[band].data(), src, 256);
        }
    }
    d->renderer->SetAdjustments(d->adjustments);
}

void __stdcall MdigReference(MIL_ID dig, long refType, long level) {
    Call call(TraceLine("MdigReference").Int(dig).Int(refType).Int(level));
    Lock lock(Lib().lock);
    Digitizer* d = Find(Lib().digitizers, dig);
    if (!d) return (void)call.Fail(IdText("digitizer", dig));
    long type = 0;
    unsigned mask = 0;
    if (!DecodeReference(refType, type, mask)) return (void)call.Fail("unsupported reference type " + std::to_string(refType));
    if (level == kDefault) level = type == kRefBlack ? 0 : (type == kRefWhite ? 255 : 128);
    if (level < 0 || level > 255) return (void)call.Fail("reference level " + std::to_string(level) + " out of range 0..255");
    Adjustments& a = d->adjustments;
    const uint8_t v = static_cast<uint8_t>(level);
    for (int b = 0; b < 3; ++b) {
        if (!(mask & (1u << b))) continue;
        (type == kRefBlack ? a.black : a.white)[b] = v;
    }
    if (type == kRefHue) a.hue = v;
    if (type == kRefSaturation) a.saturation = v;
    if (type == kRefBrightness) a.brightness = v;
    if (type == kRefContrast) a.contrast = v;
    d->renderer->SetAdjustments(a);
}

long __stdcall MdigHookFunction(MIL_ID dig, long hookType, void* fn, void* user) {
    Call call(TraceLine("MdigHookFunction").Int(dig).Int(hookType).Pointer(fn).Pointer(user));
    Lock lock(Lib().lock);
    if (!Find(Lib().digitizers, dig)) call.Fail(IdText("digitizer", dig));
    return 0;
}

// --- buffers ---------------------------------------------------------------

MIL_ID __stdcall MbufAllocColor(MIL_ID sys, long bands, long sizeX, long sizeY, long type, long attribute, MIL_ID* id) {
    Call call(TraceLine("MbufAllocColor").Int(sys).Int(bands).Int(sizeX).Int(sizeY).Int(type).Int(attribute).Pointer(id));
    Lock lock(Lib().lock);
    StoreId(id, 0);
    return AllocBuffer(call, sys, bands, sizeX, sizeY, type, attribute, id, true);
}

MIL_ID __stdcall MbufAlloc1d(MIL_ID sys, long sizeX, long type, long attribute, MIL_ID* id) {
    Call call(TraceLine("MbufAlloc1d").Int(sys).Int(sizeX).Int(type).Int(attribute).Pointer(id));
    Lock lock(Lib().lock);
    StoreId(id, 0);
    return AllocBuffer(call, sys, 1, sizeX, 1, type, attribute, id, false);
}

MIL_ID __stdcall MbufChildColor(MIL_ID parent, long band, MIL_ID* id) {
    Call call(TraceLine("MbufChildColor").Int(parent).Int(band).Pointer(id));
    Lock lock(Lib().lock);
    Library& lib = Lib();
    StoreId(id, 0);
    Buffer* p = Find(lib.buffers, parent);
    if (!p) return call.Fail(IdText("buffer", parent));
    const int b = BandOfSelector(band);
    if (b < 0 || b >= p->bands) return call.Fail("invalid band " + std::to_string(band));
    if (p->parent || !(p->planar || p->bands == 1))
        return call.Fail("band children of packed colour buffers are not supported");
    auto c = std::make_unique<Buffer>();
    c->id = lib.nextId++;
    c->sys = p->sys;
    c->parent = parent;
    c->sizeX = p->sizeX, c->sizeY = p->sizeY, c->bands = 1;
    c->attribute = p->attribute;
    const size_t plane = static_cast<size_t>(p->sizeX) * p->sizeY;
    c->data = p->data + plane * b;
    c->bytes = plane;
    p->children.push_back(c->id);
    const long newId = c->id;
    lib.buffers.emplace(newId, std::move(c));
    return StoreId(id, newId);
}

void __stdcall MbufFree(MIL_ID buf) {
    Call call(TraceLine("MbufFree").Int(buf));
    Pending pending;
    {
        Lock lock(Lib().lock);
        if (!Find(Lib().buffers, buf)) return (void)call.Fail(IdText("buffer", buf));
        FreeBufferLocked(buf, pending);
    }
    pending.Finish();
}

long __stdcall MbufInquire(MIL_ID buf, long item, void* result) {
    Call call(TraceLine("MbufInquire").Int(buf).Int(item).Pointer(result));
    Lock lock(Lib().lock);
    Buffer* b = Find(Lib().buffers, buf);
    if (!b) return Answer(result, call.Fail(IdText("buffer", buf)));
    switch (item) {
    case 1002: return Answer(result, b->sizeX);
    case 1003: return Answer(result, b->sizeY);
    case 1005: return Answer(result, b->bands);
    case 1007: return Answer(result, 8);
    case 1010: return Answer(result, b->format);
    case kItemHostAddress: {
        System* s = Find(Lib().systems, b->sys);
        if (s && (s->config.faults & kFaultHostAddress)) return Answer(result, 0);
        return Answer(result, static_cast<long>(reinterpret_cast<intptr_t>(b->data)));
    }
    default: return Answer(result, call.Fail("unsupported inquiry item " + std::to_string(item)));
    }
}

void __stdcall MbufSave(const char* fileName, MIL_ID buf) {
    Call call(TraceLine("MbufSave").Text(fileName).Int(buf));
    if (!fileName || !*fileName) return (void)call.Fail("no file name");
    SaveBuffer(call, fileName, buf);
}

void __stdcall MgenLutRamp(MIL_ID lut, long startIndex, double startValue, long endIndex, double endValue) {
    Call call(TraceLine("MgenLutRamp").Int(lut).Int(startIndex).Double(startValue).Int(endIndex).Double(endValue));
    Lock lock(Lib().lock);
    Buffer* b = Find(Lib().buffers, lut);
    if (!b) return (void)call.Fail(IdText("buffer", lut));
    if (b->sizeY != 1 || !(b->planar || b->bands == 1))
        return (void)call.Fail("buffer " + std::to_string(lut) + " is not a look-up table");
    for (int band = 0; band < b->bands; ++band) {
        if (!FillRamp(b->data + static_cast<size_t>(band) * b->sizeX, b->sizeX, startIndex, startValue, endIndex, endValue))
            return (void)call.Fail("ramp outside the table or not a number");
    }
}

// The C++ runtime's hook that frees its emergency exception buffer.
namespace __gnu_cxx {
void __freeres() noexcept;
}

// The statically linked runtime's buffer for exceptions thrown when memory is
// out (about 19 kB) would be lost at every unload; at process exit (reserved
// not null) nothing needs freeing.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        __gnu_cxx::__freeres();
    }
    return TRUE;
}
