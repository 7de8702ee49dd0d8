// What every entry point shares: trace line and error box, object store, module lifetime.
#include <windows.h>

#include <atomic>
#include <string>

#include "library.h"
#include "mil.h"
#include "state.h"
#include "trace.h"

namespace orionsim {

namespace {

CriticalSection g_traceLock;

}  // namespace

std::atomic<bool> g_reportErrors{true};

std::string Upper(const char* s) {
    std::string u(s);
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

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

// Made when the library is loaded, not at its first use: a function's own
// static takes the C++ runtime's lock for statics, whose semaphore stays
// open after the library is unloaded (one per load).
Library g_library;

Library& Lib() {
    return g_library;
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
