// Test support: the library bound at run time as an application binds it,
// environment controls scoped to a test, and a watcher that answers the
// library's modal error boxes.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mil.h"

#define ORIONSIM_ENTRY_POINTS(X)                                                                          \
    X(MappAlloc) X(MappFree) X(MappControl) X(MsysAlloc) X(MsysFree) X(MsysInquire) X(MdigAlloc)          \
    X(MdigFree) X(MdigGrab) X(MdigGrabContinuous) X(MdigHalt) X(MdigInquire) X(MdigChannel) X(MdigControl) \
    X(MdigLut) X(MdigReference) X(MdigHookFunction) X(MdispAlloc) X(MdispSelect) X(MdispSelectWindow)     \
    X(MdispDeselect) X(MdispControl) X(MdispInquire) X(MdispFree) X(MdispZoom) X(MbufAllocColor)          \
    X(MbufAlloc1d) X(MbufChildColor) X(MbufFree) X(MbufInquire) X(MbufSave) X(MgenLutRamp)

namespace test {

constexpr const char* kSystem = "\\\\.\\M_SYSTEM_ORION";
constexpr long kDefault = 0x10000000;
constexpr long kErrorItem = 0x40000000;
constexpr long kHostAddress = static_cast<long>(0x80000000u);
constexpr long kBand[3] = {0x20000000, 0x40000000, static_cast<long>(0x80000000u)};
constexpr long kAllBands = static_cast<long>(0xEF200000u);
constexpr long kBlackRef = 4003, kWhiteRef = 4005, kHue = 4006, kSaturation = 4007, kBrightness = 4008, kContrast = 4009;
constexpr long kImageAttr = 44, kProbeAttr = 12, kLutAttr = 256;

struct Mil {
    HMODULE module = nullptr;
#define ORIONSIM_POINTER(name) decltype(&::name) name = nullptr;
    ORIONSIM_ENTRY_POINTS(ORIONSIM_POINTER)
#undef ORIONSIM_POINTER

    // Returns the names that could not be resolved.
    std::vector<std::string> Load(const char* path) {
        std::vector<std::string> missing;
        module = LoadLibraryA(path);
        if (!module) return {"<module>"};
#define ORIONSIM_RESOLVE(name)                                                         \
    name = reinterpret_cast<decltype(name)>(reinterpret_cast<void*>(GetProcAddress(module, #name))); \
    if (!name) missing.push_back(#name);
        ORIONSIM_ENTRY_POINTS(ORIONSIM_RESOLVE)
#undef ORIONSIM_RESOLVE
        return missing;
    }
};

// The library of bin/, loaded once per test program like a data source loads it.
inline Mil& Lib() {
    static Mil mil = [] {
        Mil m;
        m.Load("MIL.DLL");
        return m;
    }();
    return mil;
}

// Sets environment variables for the scope (an empty value removes one).
class ScopedEnv {
public:
    ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> vars) {
        for (auto& [name, value] : vars) {
            char old[1024];
            DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
            saved_.emplace_back(name, n ? std::string(old, n) : std::string());
            SetEnvironmentVariableA(name, (value && *value) ? value : nullptr);
        }
    }
    ~ScopedEnv() {
        for (auto& [name, value] : saved_) SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

// Finds the library's error boxes, records their text and presses OK.
class BoxWatcher {
public:
    BoxWatcher() : thread_([this] { Run(); }) {}
    ~BoxWatcher() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> g(lock_);
        return texts_;
    }

private:
    void Run() {
        while (!stop_) {
            if (HWND box = FindWindowA("#32770", "Imaging library error")) {
                char text[1024] = "";
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message box's text control
                {
                    std::lock_guard<std::mutex> g(lock_);
                    texts_.emplace_back(text);
                }
                PostMessageA(box, WM_COMMAND, IDOK, 0);
                while (IsWindow(box) && !stop_) Sleep(5);
            }
            Sleep(10);
        }
    }
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> texts_;
    std::thread thread_;
};

// Polls `done` every 10 ms, running `between` in the pauses, for up to 30 s:
// a test waits for what it needs, which a loaded machine may delay long.
inline bool WaitFor(const std::function<bool()>& done, const std::function<void()>& between = [] {}) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        between();
        Sleep(10);
    }
    return done();
}

// One application and system for a test, error boxes off unless asked.
class Board {
public:
    explicit Board(bool reportErrors = false) {
        Mil& m = Lib();
        app = m.MappAlloc(kDefault, nullptr);
        m.MappControl(kErrorItem, reportErrors ? 1 : 0);
        sys = m.MsysAlloc(kSystem, 0, 0, nullptr);
    }
    ~Board() {
        Mil& m = Lib();
        m.MappControl(kErrorItem, 0);
        if (sys) m.MsysFree(sys);
        if (app) m.MappFree(app);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    long app = 0, sys = 0;
};

inline const uint8_t* Pixels(long buffer) {
    return reinterpret_cast<const uint8_t*>(static_cast<intptr_t>(Lib().MbufInquire(buffer, kHostAddress, nullptr)));
}

inline std::string TempPath(const char* name) {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return std::string(dir) + name;
}

}  // namespace test
