#include "bench/common.h"

#include "acquire/dsm.h"

#include <psapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string Format(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

void PrintSection(const std::string& title)
{
    std::printf("| **%s** | | | |\n", title.c_str());
}

void PrintRow(const std::string& measure, const std::string& figure, const std::string& target,
              const std::string& absolute)
{
    std::printf("| %s | %s | %s | %s |\n", measure.c_str(), figure.c_str(), target.c_str(), absolute.c_str());
    std::fflush(stdout);
}

void SetEnv(const char* name, const char* value)
{
    SetEnvironmentVariableA(name, value);
}

void SetVideoFormat(const char* format)
{
    // The source replaces a settings key with missing values by its
    // defaults (and says so in a box): a first opening writes them.
    HKEY key = nullptr;
    const char* const path = "SOFTWARE\\Talvenix\\Twain\\Orion";
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        const bool written = RegQueryValueExA(key, "DigFormat", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
        RegCloseKey(key);
        key = nullptr;
        if (!written) {
            RegDeleteKeyA(HKEY_CURRENT_USER, path);
        }
    }
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        DirectSource source;
        source.OpenAndEnable(TWSX_NATIVE);
        source.Close();
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
            std::fprintf(stderr, "ds_bench: the source wrote no settings key\n");
            return;
        }
    }
    RegSetValueExA(key, "DigFormat", 0, REG_SZ, reinterpret_cast<const BYTE*>(format),
                   static_cast<DWORD>(std::strlen(format) + 1));
    RegCloseKey(key);
}

double PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    if (counters.PrivateUsage != 0) {
        return static_cast<double>(counters.PrivateUsage);
    }
    // Wine leaves the counter at 0: the committed private pages, region by region.
    double total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += static_cast<double>(region.RegionSize);
        }
        if (region.RegionSize == 0) {
            break;
        }
    }
    return total;
}

bool SetOneValue(const Caller& call, TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value)
{
    HGLOBAL container = GlobalAlloc(GMEM_MOVEABLE, sizeof(TW_ONEVALUE));
    if (container == nullptr) {
        return false;
    }
    auto* one = static_cast<TW_ONEVALUE*>(GlobalLock(container));
    one->ItemType = itemType;
    one->Item = value;
    GlobalUnlock(container);
    TW_CAPABILITY capability = {cap, TWON_ONEVALUE, container};
    const TW_UINT16 rc = call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    GlobalFree(container);
    return rc == TWRC_SUCCESS;
}

namespace {

bool ImageInfo(const Caller& call)
{
    TW_IMAGEINFO info = {};
    return call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) == TWRC_SUCCESS;
}

}  // namespace

bool TransferNative(const Caller& call, HGLOBAL& bitmap)
{
    bitmap = nullptr;
    if (!ImageInfo(call)) {
        return false;
    }
    TW_HANDLE handle = nullptr;
    if (call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle) != TWRC_XFERDONE) {
        return false;
    }
    bitmap = static_cast<HGLOBAL>(handle);
    return true;
}

bool TransferMemory(const Caller& call, std::vector<uint8_t>& buffer, size_t& bytes)
{
    bytes = 0;
    if (!ImageInfo(call)) {
        return false;
    }
    TW_UINT16 rc = TWRC_SUCCESS;
    while (rc == TWRC_SUCCESS) {
        TW_IMAGEMEMXFER xfer = {};
        xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
        xfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
        xfer.Memory.TheMem = buffer.data();
        rc = call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
        if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) {
            return false;
        }
        bytes += xfer.BytesWritten;
    }
    return true;
}

bool TransferFile(const Caller& call, const std::string& path, TW_UINT16 format)
{
    if (!ImageInfo(call)) {
        return false;
    }
    TW_SETUPFILEXFER setup = {};
    std::snprintf(setup.FileName, sizeof setup.FileName, "%s", path.c_str());
    setup.Format = format;
    if (call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) != TWRC_SUCCESS) {
        return false;
    }
    return call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr) == TWRC_XFERDONE;
}

int EndTransfer(const Caller& call)
{
    TW_PENDINGXFERS pending = {};
    if (call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending) != TWRC_SUCCESS) {
        return -2;
    }
    return static_cast<TW_INT16>(pending.Count);
}

bool ResetTransfers(const Caller& call)
{
    TW_PENDINGXFERS pending = {};
    return call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending) == TWRC_SUCCESS;
}

SavedFigures ReadFigures(const std::string& path)
{
    SavedFigures saved;
    if (FILE* in = path.empty() ? nullptr : std::fopen(path.c_str(), "r")) {
        char key[64];
        double value = 0;
        while (std::fscanf(in, "%63s %lf", key, &value) == 2) {
            saved[key] = value;
        }
        std::fclose(in);
    }
    return saved;
}

std::string ExeFolder()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = std::strrchr(path, '\\');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return path;
}

DirectSource::DirectSource() : app_(ApplicationIdentity("ds_bench", 1))
{
    // The 64-bit build of the benchmark measures the 64-bit source.
    const std::string path = ExeFolder() + (sizeof(void*) == 8 ? "\\Twain_64.ds" : "\\Twain_32.ds");
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        std::fprintf(stderr, "ds_bench: cannot load %s (error %lu)\n", path.c_str(), GetLastError());
        return;
    }
    entry_ = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(module_, "DS_Entry")));
}

DirectSource::~DirectSource()
{
    Close();
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

TW_UINT16 DirectSource::Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)
{
    return entry_(&app_, dg, dat, msg, data);
}

Caller DirectSource::AsCaller()
{
    return [this](TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) { return Call(dg, dat, msg, data); };
}

bool DirectSource::Open()
{
    source_ = {};
    source_.Id = 2;
    std::strcpy(source_.ProductName, "Talvenix Matrox Orion driver");
    if (Call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_) != TWRC_SUCCESS) {
        std::fprintf(stderr, "ds_bench: MSG_OPENDS failed\n");
        return false;
    }
    open_ = true;
    return true;
}

bool DirectSource::OpenAndEnable(TW_UINT16 mechanism, int pixelType)
{
    if (!Open()) {
        return false;
    }
    const Caller call = AsCaller();
    if (!SetOneValue(call, CAP_XFERCOUNT, TWTY_INT16, 0xFFFF) ||
        !SetOneValue(call, ICAP_XFERMECH, TWTY_UINT16, mechanism) ||
        (pixelType >= 0 && !SetOneValue(call, ICAP_PIXELTYPE, TWTY_UINT16, static_cast<TW_UINT32>(pixelType)))) {
        std::fprintf(stderr, "ds_bench: the source refused CAP_XFERCOUNT, ICAP_XFERMECH or ICAP_PIXELTYPE\n");
        return false;
    }
    TW_USERINTERFACE ui = {0, 0, nullptr};
    if (Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        std::fprintf(stderr, "ds_bench: MSG_ENABLEDS failed\n");
        return false;
    }
    return true;
}

void DirectSource::Close()
{
    if (!open_) {
        return;
    }
    const Caller call = AsCaller();
    ResetTransfers(call);
    TW_USERINTERFACE ui = {0, 0, nullptr};
    Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_);
    open_ = false;
}
