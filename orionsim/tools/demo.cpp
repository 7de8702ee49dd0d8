// Live demo of the simulated board: binds MIL.DLL at run time, as an
// application does, and runs a continuous grab into the library's own
// window for a while.
//
//   orionsim_demo [format] [seconds] [zoom]     defaults: M_PAL 10 1
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "mil.h"

namespace {

template <typename F>
bool Bind(HMODULE module, const char* name, F& fn) {
    fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!fn) std::fprintf(stderr, "demo: MIL.DLL lacks %s\n", name);
    return fn != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const char* format = argc > 1 ? argv[1] : "M_PAL";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const long zoom = argc > 3 ? std::atol(argv[3]) : 1;

    HMODULE mil = LoadLibraryA("MIL.DLL");
    if (!mil) {
        std::fprintf(stderr, "demo: MIL.DLL not found\n");
        return 1;
    }
    decltype(&MappAlloc) appAlloc;
    decltype(&MappFree) appFree;
    decltype(&MsysAlloc) sysAlloc;
    decltype(&MsysFree) sysFree;
    decltype(&MdigAlloc) digAlloc;
    decltype(&MdigInquire) digInquire;
    decltype(&MdigGrabContinuous) grabContinuous;
    decltype(&MdigHalt) halt;
    decltype(&MdispAlloc) dispAlloc;
    decltype(&MdispControl) dispControl;
    decltype(&MdispZoom) dispZoom;
    decltype(&MdispSelectWindow) selectWindow;
    decltype(&MdispDeselect) deselect;
    decltype(&MbufAllocColor) bufAlloc;
    if (!(Bind(mil, "MappAlloc", appAlloc) && Bind(mil, "MappFree", appFree) && Bind(mil, "MsysAlloc", sysAlloc) &&
          Bind(mil, "MsysFree", sysFree) && Bind(mil, "MdigAlloc", digAlloc) && Bind(mil, "MdigInquire", digInquire) &&
          Bind(mil, "MdigGrabContinuous", grabContinuous) && Bind(mil, "MdigHalt", halt) &&
          Bind(mil, "MdispAlloc", dispAlloc) && Bind(mil, "MdispControl", dispControl) &&
          Bind(mil, "MdispZoom", dispZoom) && Bind(mil, "MdispSelectWindow", selectWindow) &&
          Bind(mil, "MdispDeselect", deselect) && Bind(mil, "MbufAllocColor", bufAlloc)))
        return 1;

    const long app = appAlloc(0x10000000, nullptr);
    const long sys = app ? sysAlloc("\\\\.\\M_SYSTEM_ORION", 0, 0, nullptr) : 0;
    const long dig = sys ? digAlloc(sys, 0, format, 0x10000000, nullptr) : 0;
    if (!dig) {
        std::fprintf(stderr, "demo: cannot start the digitizer with %s\n", format);
        return 1;
    }
    const long disp = dispAlloc(sys, 0x10000000, "M_DEFAULT", 0x10000000, nullptr);
    const long img = bufAlloc(sys, digInquire(dig, 1005, nullptr), digInquire(dig, 1002, nullptr),
                              digInquire(dig, 1003, nullptr), 8, 44, nullptr);
    static const char title[] = "TWAIN source live preview";
    dispControl(disp, 3119, static_cast<long>(reinterpret_cast<intptr_t>(title)));
    dispZoom(disp, zoom, zoom);
    selectWindow(disp, img, nullptr);
    grabContinuous(dig, img);
    std::printf("demo: %s live for %d s\n", format, seconds);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    halt(dig);
    deselect(disp, img);
    sysFree(sys);  // releases the digitizer, display and buffer
    appFree(app);
    FreeLibrary(mil);
    return 0;
}
