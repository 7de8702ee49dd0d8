// The buffers' entry points: allocation, band children, inquiry, TIFF saving, table ramps.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "mil.h"
#include "state.h"
#include "tiff.h"
#include "trace.h"

namespace orionsim {

namespace {

int BandOfSelector(long band) {
    if (band >= 0 && band <= 2) return static_cast<int>(band);
    for (int b = 0; b < 3; ++b) {
        if (static_cast<unsigned long>(band) == kBandSelectors[b]) return b;
    }
    return -1;
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

}  // namespace orionsim

using namespace orionsim;

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
