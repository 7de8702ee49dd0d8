#include "diag/system_report.h"

#include <windows.h>

#include <cstdio>

#include "settings/source_settings.h"
#include "twain/allocation.h"
#include "twain/debug_log.h"

void LogFileVersion(const char* name)
{
    if (!DebugLog::On()) {
        return;
    }
    DebugLog log;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(name, &handle);
    if (size == 0) {
        log.Write("File %s has no Version information \n", name);
        return;
    }
    const OwnedArray<char> info = AllocateArray<char>(size);
    if (info == nullptr || !GetFileVersionInfoA(name, 0, size, info.get())) {
        log.Write("File %s has no Version information \n", name);
        return;
    }
    // Without a translation or a product version string the line still
    // names the file, with an empty version.
    const char* version = "";
    struct Translation {
        WORD Language;
        WORD CodePage;
    };
    Translation* translation = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info.get(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) &&
        translation != nullptr && length >= sizeof(Translation)) {
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\ProductVersion", translation->Language,
                      translation->CodePage);
        char* text = nullptr;
        if (VerQueryValueA(info.get(), query, reinterpret_cast<void**>(&text), &length) && text != nullptr) {
            version = text;
        }
    }
    log.Write("%s Version: %s \n", name, version);
}

void LogSystemInfo()
{
    if (!DebugLog::On()) {
        return;
    }
    DebugLog log;
    log.Write("------------------------------------------ \n");
    log.Write("Dumping system Settings \n");
    log.Write("------------------------------------------ \n");
    log.Write("VGA: \n");
    HDC screen = GetDC(nullptr);
    log.Write("VGA Driver version = %d \n", GetDeviceCaps(screen, DRIVERVERSION));
    log.Write("VGA resolution = %d x %d x %d @ %d Hz\n", GetDeviceCaps(screen, HORZRES), GetDeviceCaps(screen, VERTRES),
              GetDeviceCaps(screen, BITSPIXEL), GetDeviceCaps(screen, VREFRESH));
    ReleaseDC(nullptr, screen);

    log.Write("Operating system: \n");
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    log.Write("Windows %d.%d Build %d %s\n", static_cast<int>(version.dwMajorVersion),
              static_cast<int>(version.dwMinorVersion), static_cast<int>(version.dwBuildNumber), version.szCSDVersion);

    log.Write("Memory: \n");
    // The system fills the length in itself; a different one means the
    // structure does not match.
    MEMORYSTATUS memory = {};
    GlobalMemoryStatus(&memory);
    if (memory.dwLength != 32) {
        log.Write("MEMORYSTATUS stuct size does not match, BUG!! \n");
    }
    log.Write("Physical memory: avail %d kB, total %d kB, Load %d \n", static_cast<int>(memory.dwAvailPhys / 1024),
              static_cast<int>(memory.dwTotalPhys / 1024), static_cast<int>(memory.dwMemoryLoad));
    log.Write("Virtual  memory: avail %d kB, total %d kB\n", static_cast<int>(memory.dwAvailVirtual / 1024),
              static_cast<int>(memory.dwTotalVirtual / 1024));
    log.Write("Grab memory: %d kB \n", static_cast<int>(GetGrabberMemoryKb()));
}
