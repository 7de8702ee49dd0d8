// The library's objects and the one lock that guards them. The continuous
// grab threads and the display window threads take the lock for every frame
// and every paint; entry points take it for their whole work except while
// they wait (frame period, thread ends, message boxes).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "render.h"

namespace orionsim {

constexpr long kDefault = 0x10000000;      // M_DEFAULT
constexpr long kAttrGrab = 8;              // buffer can be grabbed into: board memory
constexpr long kAttrLut = 256;             // look-up table buffer
constexpr long kItemHostAddress = static_cast<long>(0x80000000u);

struct Application {
    long id;
};

struct System {
    long id;
    long app;
    Config config;
    uint64_t memoryBytes;
    uint64_t memoryUsed = 0;
};

struct Buffer {
    long id = 0, sys = 0;
    long parent = 0;          // child buffers: the parent's id
    int sizeX = 0, sizeY = 0, bands = 1;
    long attribute = 0;
    long format = kFormatMono8;
    PixelLayout layout = PixelLayout::Mono8;
    bool planar = false;      // bands stored one after the other (look-up tables)
    uint8_t* data = nullptr;  // VirtualAlloc'ed for parents, a view for children
    size_t bytes = 0;
    uint64_t boardBytes = 0;  // charged to the system's grab memory
    std::vector<long> children;

    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();
};

struct Digitizer {
    long id = 0, sys = 0;
    std::string format;
    int width = 0, height = 0, bands = 1;
    long colorMode = 0;
    long frameMs = 40;
    long channel = 0;
    Adjustments adjustments;
    std::unique_ptr<FrameRenderer> renderer;
    int64_t originUs = 0;   // frame k ends at originUs + k * frameMs
    uint64_t lastFrame = 0;
    // Continuous grab.
    HANDLE thread = nullptr;
    HANDLE haltEvent = nullptr;
    long target = 0;
};

struct Display {
    long id = 0, sys = 0;
    long buffer = 0;           // selected buffer, 0 when none
    HWND window = nullptr;     // where frames are drawn
    bool own = false;          // window is the library's own
    HANDLE ownThread = nullptr;
    DWORD ownThreadId = 0;
    long zoomX = 1, zoomY = 1;
    std::string title = "Display";
    std::vector<uint8_t> scratch;  // frame converted for drawing
};

// A recursive lock of Windows' own: the library needs nothing from a C++
// thread library, whose posix flavour would tie up a thread-local-storage
// slot for good at every load.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

struct Library {
    CriticalSection lock;
    long nextId = 1;
    std::map<long, std::unique_ptr<Application>> apps;
    std::map<long, std::unique_ptr<System>> systems;
    std::map<long, std::unique_ptr<Digitizer>> digitizers;
    std::map<long, std::unique_ptr<Buffer>> buffers;
    std::map<long, std::unique_ptr<Display>> displays;
};

Library& Lib();
using Lock = std::lock_guard<CriticalSection>;

template <typename T>
T* Find(std::map<long, std::unique_ptr<T>>& map, long id) {
    auto it = map.find(id);
    return it == map.end() ? nullptr : it->second.get();
}

// Work that must finish outside the lock: threads to wait for and their
// handles to close.
struct Pending {
    std::vector<HANDLE> threads;
    std::vector<HANDLE> handles;
    std::vector<HANDLE> readyEvents;  // own windows being created
    void Finish();
};

// display.cpp. All *Locked functions expect the lock held.
void DetachDisplayLocked(Display& d, Pending& pending);
void AttachDisplayLocked(Display& d, long buffer, HWND window, Pending& pending);
void DrawSelectedDisplaysLocked(long buffer);
void RefreshOwnWindowLocked(const Display& d);

// One entry point call: writes the trace line on construction and, when
// the call failed and error reporting is on, shows the library's modal error
// box on destruction. Every entry point declares its Call before its Lock,
// so the box never appears while the lock is held.
class TraceLine;
class Call {
public:
    explicit Call(const TraceLine& line);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call();
    // Records the failure (the first one of the call) and returns 0.
    long Fail(const std::string& what);

private:
    std::string name_;
    std::string error_;
};

std::string IdText(const char* kind, long id);        // "invalid <kind> identifier <id>"
long Answer(void* result, long value);                 // stores through result when not null
long StoreId(long* out, long id);
std::optional<std::string> GetEnv(const char* name);

HMODULE ThisModule();
// A reference on this module held by a library thread, so that the module
// stays loaded until the thread has left its code.
HMODULE PinModule();

}  // namespace orionsim
