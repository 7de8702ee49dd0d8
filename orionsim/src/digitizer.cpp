// The digitizer's entry points: video formats, adjustments, single and continuous grabs.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "library.h"
#include "mil.h"
#include "state.h"
#include "trace.h"

namespace orionsim {

namespace {

int64_t NowUs() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    const LONGLONG freq = f.QuadPart;
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

const VideoFormat* FindVideoFormat(const char* name) {
    const std::string u = Upper(name);
    for (const auto& f : kVideoFormats) {
        if (u == f.name) return &f;
    }
    return nullptr;
}

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

}  // namespace

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

void FreeDigitizerLocked(long id, Pending& pending) {
    Library& lib = Lib();
    if (Digitizer* d = Find(lib.digitizers, id)) {
        HaltLocked(*d, pending);
        lib.digitizers.erase(id);
    }
}

}  // namespace orionsim

using namespace orionsim;

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
    // A camera's own format, as a board's configuration files name them.
    const auto& more = s->config.moreFormats;
    const bool camera = !f && std::find(more.begin(), more.end(), Upper(format)) != more.end();
    if (camera) f = FindVideoFormat("M_CCIR");
    const auto& reject = s->config.rejectFormats;
    if (!f || std::find(reject.begin(), reject.end(), Upper(format)) != reject.end())
        return call.Fail(std::string("video format \"") + format + "\" is not supported");
    for (auto& [_, d] : lib.digitizers) {
        if (d->sys == sys) return call.Fail("the board's digitizer is already allocated (identifier " + std::to_string(d->id) + ")");
    }
    auto d = std::make_unique<Digitizer>();
    d->id = lib.nextId++;
    d->sys = sys;
    d->format = camera ? Upper(format) : f->name;
    d->width = f->width, d->height = f->height, d->bands = f->bands;
    d->colorMode = s->config.colorMode.value_or(f->colorMode);
    d->frameMs = s->config.frameMs.value_or(f->frameMs);
    d->renderer = std::make_unique<FrameRenderer>(f->width, f->height, f->bands, s->config.pattern);
    d->renderer->SetFrameStamp(s->config.frameStamp);
    d->renderer->SetNoise(s->config.noise);
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

