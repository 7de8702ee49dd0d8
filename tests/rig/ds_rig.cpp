#include "rig/ds_rig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

std::string ExeDirectory()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = std::strrchr(path, '\\');
    if (slash != nullptr) {
        *slash = '\0';
    }
    return path;
}

std::string TempFolder()
{
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    std::string folder = temp;
    if (!folder.empty() && folder.back() == '\\') {
        folder.pop_back();
    }
    return folder;
}

TW_IDENTITY TestAppIdentity(TW_UINT32 id)
{
    TW_IDENTITY app = {};
    app.Id = id;
    app.Version.MajorNum = 1;
    app.Version.Language = TWLG_USA;
    app.Version.Country = TWCY_USA;
    std::strcpy(app.Version.Info, "test");
    app.ProtocolMajor = 1;
    app.ProtocolMinor = 9;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(app.Manufacturer, "Test");
    std::strcpy(app.ProductFamily, "Test");
    std::strcpy(app.ProductName, "Test application");
    return app;
}

namespace {

// The rig's stand-ins for the module's allocating imports.
volatile LONG AllocationCount = 0;
volatile LONG RefusedNumber = 0;  // the first refused
volatile LONG RefusedRun = 1;     // how many in a row
void* (*OriginalMalloc)(size_t) = nullptr;
void* (*OriginalCalloc)(size_t, size_t) = nullptr;
void* (*OriginalRealloc)(void*, size_t) = nullptr;
HGLOBAL(WINAPI* OriginalGlobalAlloc)(UINT, SIZE_T) = nullptr;

bool Refused()
{
    const LONG number = InterlockedIncrement(&AllocationCount);
    return RefusedNumber != 0 && number >= RefusedNumber && number - RefusedNumber < RefusedRun;
}
void* CountedMalloc(size_t size)
{
    return Refused() ? nullptr : OriginalMalloc(size);
}
void* CountedCalloc(size_t count, size_t size)
{
    return Refused() ? nullptr : OriginalCalloc(count, size);
}
void* CountedRealloc(void* block, size_t size)
{
    return Refused() ? nullptr : OriginalRealloc(block, size);
}
HGLOBAL WINAPI CountedGlobalAlloc(UINT flags, SIZE_T size)
{
    if (Refused()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return OriginalGlobalAlloc(flags, size);
}

struct ImportHook {
    const char* Name;
    void* Replacement;
    void** Original;
};

// Points the module's import slots of the hooks' names at `install`'s
// replacements, or back at the originals.
void PatchImports(HMODULE module, bool install)
{
    const ImportHook hooks[] = {
        {"malloc", reinterpret_cast<void*>(CountedMalloc), reinterpret_cast<void**>(&OriginalMalloc)},
        {"calloc", reinterpret_cast<void*>(CountedCalloc), reinterpret_cast<void**>(&OriginalCalloc)},
        {"realloc", reinterpret_cast<void*>(CountedRealloc), reinterpret_cast<void**>(&OriginalRealloc)},
        {"GlobalAlloc", reinterpret_cast<void*>(CountedGlobalAlloc), reinterpret_cast<void**>(&OriginalGlobalAlloc)},
    };
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); library->Name != 0;
         ++library) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (const ImportHook& hook : hooks) {
                if (std::strcmp(reinterpret_cast<const char*>(name->Name), hook.Name) != 0) {
                    continue;
                }
                DWORD old = 0;
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
                if (install) {
                    *hook.Original = reinterpret_cast<void*>(slots->u1.Function);
                    slots->u1.Function = reinterpret_cast<DWORD_PTR>(hook.Replacement);
                } else {
                    slots->u1.Function = reinterpret_cast<DWORD_PTR>(*hook.Original);
                }
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
                ++patched;
            }
        }
    }
    EXPECT_EQ(patched, 4) << "the module's allocating imports";
}

}  // namespace

RefusedAllocation::RefusedAllocation(HMODULE module) : module_(module)
{
    Refuse(0);
    PatchImports(module_, true);
}

RefusedAllocation::~RefusedAllocation()
{
    PatchImports(module_, false);
}

void RefusedAllocation::Refuse(long number, long run)
{
    RefusedNumber = number;
    RefusedRun = run;
    AllocationCount = 0;
}

long RefusedAllocation::Count() const
{
    return AllocationCount;
}

DsModule::DsModule(const std::string& path) : App(TestAppIdentity()), path_(path)
{
    Load();
}

DsModule::~DsModule()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
    }
}

void DsModule::Load()
{
    module_ = LoadLibraryA(path_.c_str());
    EXPECT_NE(module_, nullptr) << "cannot load " << path_ << ", error " << GetLastError();
    if (module_ != nullptr) {
        entry_ = reinterpret_cast<DsEntryProc>(
            reinterpret_cast<void (*)()>(GetProcAddress(module_, "DS_Entry")));
        EXPECT_NE(entry_, nullptr) << "no DS_Entry in " << path_;
    }
}

void DsModule::Reload()
{
    if (module_ != nullptr) {
        FreeLibrary(module_);
        EXPECT_EQ(GetModuleHandleA(path_.c_str()), nullptr) << "module still loaded";
    }
    module_ = nullptr;
    entry_ = nullptr;
    Load();
}

TW_UINT16 DsModule::Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)
{
    return CallAs(&App, dg, dat, msg, data);
}

TW_UINT16 DsModule::CallAs(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)
{
    if (entry_ == nullptr) {
        ADD_FAILURE() << "module not loaded";
        return 0xFFFF;
    }
    return entry_(origin, dg, dat, msg, data);
}

TW_UINT16 DsModule::Status()
{
    TW_STATUS status = {0xFFFF, 0xFFFF};
    TW_UINT16 rc = Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    EXPECT_EQ(rc, TWRC_SUCCESS) << "DAT_STATUS / MSG_GET";
    EXPECT_EQ(status.Reserved, 0);
    return status.ConditionCode;
}

Watchdog::Watchdog(int seconds, const char* why)
    : dismissed_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), milliseconds_(static_cast<DWORD>(seconds) * 1000),
      why_(why)
{
    thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
}

DWORD WINAPI Watchdog::Watch(void* self)
{
    const auto* dog = static_cast<const Watchdog*>(self);
    if (WaitForSingleObject(dog->dismissed_, dog->milliseconds_) != WAIT_OBJECT_0) {
        std::printf("watchdog: %s\n", dog->why_);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return 0;
}

Watchdog::~Watchdog()
{
    SetEvent(dismissed_);
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    CloseHandle(dismissed_);
}

CapturedProcess::~CapturedProcess()
{
    Wait(0);
}

bool CapturedProcess::Start(std::string command, const char* folder)
{
    // Shared for writing too: the desktop process Wine starts with a child's
    // first window inherits the child's output and outlives it, which would
    // keep the next child from the file.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileA(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        return false;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder,
                                        &startup, &process_);
    CloseHandle(output);
    if (!started) {
        process_ = {};
    }
    return started != 0;
}

DWORD CapturedProcess::Wait(DWORD milliseconds)
{
    if (process_.hProcess == nullptr) {
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process_.hProcess, milliseconds) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process_.hProcess, &code);
    } else {
        TerminateProcess(process_.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(process_.hProcess, INFINITE);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    return code;
}

std::string CapturedProcess::Output() const
{
    return ReadFileText(outputPath_);
}

size_t HeapBytesInUse()
{
    HANDLE heaps[256];
    const DWORD count = GetProcessHeaps(256, heaps);
    size_t bytes = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
                bytes += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return bytes;
}

DWORD NextTlsIndex()
{
    const DWORD index = TlsAlloc();
    TlsFree(index);
    return index;
}

DWORD OpenHandleCount()
{
    DWORD count = 0;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

void ResetSourceRegistry()
{
    LONG rc = RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\Talvenix");
    ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << "RegDeleteTree: " << rc;
}

void WriteRegistryValue(const char* subkey, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, subkey, &key), ERROR_SUCCESS) << subkey;
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS) << name;
    RegCloseKey(key);
}

void SetDumpMode(DWORD value)
{
    WriteRegistryValue("SOFTWARE\\Talvenix\\Twain\\", "Dump", REG_DWORD, &value, sizeof value);
}

std::string SourceLogPath()
{
    return ExeDirectory() + "\\TALVENIX.LOG";
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteSourceLog()
{
    DeleteFileA(SourceLogPath().c_str());
    ASSERT_FALSE(FileExists(SourceLogPath()));
}
