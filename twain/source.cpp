// The records every module of the product keeps about itself, and how they
// are filled at load: the 32-bit source and the 64-bit one that forwards to it
// answer with the same identity and read the same trace switch.
#include "twain/source.h"

#include <cstring>

#include "twain/allocation.h"
#include "twain/text.h"

HINSTANCE ModuleHandle = nullptr;
char ModuleDirectory[256] = "";
DWORD DumpMode = 0;
TW_IDENTITY SourceIdentity = {};
TW_IDENTITY AppIdentity = {};
// The transfer counts the notices keep with the source's state.
TW_INT16 PendingTransfers = 0;
TW_INT16 EnabledTransferCount = 0;
bool CloseRequestedWhilePending = false;

namespace {

void ReadDumpMode()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, BaseKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    // Whatever type the value has, at most its first four bytes count; a
    // shorter value counts as its bytes followed by zeros.
    DWORD size = 0;
    if (RegQueryValueExA(key, "Dump", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS && size != 0) {
        const OwnedArray<BYTE> data = AllocateZeroed<BYTE>(size < 4 ? 4 : size);
        if (data && RegQueryValueExA(key, "Dump", nullptr, nullptr, data.get(), &size) == ERROR_SUCCESS) {
            std::memcpy(&DumpMode, data.get(), sizeof DumpMode);
        }
    }
    RegCloseKey(key);
}

void FindModuleDirectory(HINSTANCE instance)
{
    char path[256] = "";
    DWORD length = GetModuleFileNameA(instance, path, sizeof path - 1);
    path[length < sizeof path ? length : sizeof path - 1] = '\0';
    char* lastBackslash = std::strrchr(path, '\\');
    if (lastBackslash != nullptr) {
        *lastBackslash = '\0';
    }
    CopyText(ModuleDirectory, sizeof ModuleDirectory, path);
}

void SetIdentityDefaults()
{
    SourceIdentity = {};
    SourceIdentity.Id = 0;
    SourceIdentity.Version.MajorNum = 1;
    SourceIdentity.Version.MinorNum = 0;
    SourceIdentity.Version.Language = TWLG_USA;
    SourceIdentity.Version.Country = TWCY_USA;
    CopyText(SourceIdentity.Version.Info, sizeof SourceIdentity.Version.Info, "Version 1.00");
    // TWAIN 2.4 to the applications that speak it; the rest get the 1.x
    // answers they always had (the face is chosen at MSG_OPENDS).
    SourceIdentity.ProtocolMajor = 2;
    SourceIdentity.ProtocolMinor = 4;
    SourceIdentity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    CopyText(SourceIdentity.Manufacturer, sizeof SourceIdentity.Manufacturer, "Talvenix, Ing. Buro Quellmar");
    CopyText(SourceIdentity.ProductFamily, sizeof SourceIdentity.ProductFamily, "TWAIN");
    CopyText(SourceIdentity.ProductName, sizeof SourceIdentity.ProductName, "Talvenix Matrox Orion driver");
}

}  // namespace

DWORD ReadBaseKeyDword(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, BaseKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof value;
    const bool read = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                          ERROR_SUCCESS &&
                      type == REG_DWORD && size == sizeof value;
    RegCloseKey(key);
    return read ? value : 0;
}

// The C++ runtime's hook that frees its emergency exception buffer.
namespace __gnu_cxx {
void __freeres() noexcept;
}

void FreeRuntimeAtUnload(LPVOID reserved)
{
    // The runtime keeps about 19 kB for exceptions thrown when memory is
    // out; a manager that unloads the source after every session would lose
    // them at each unload. At process exit (reserved not null) nothing needs
    // freeing.
    if (reserved == nullptr) {
        __gnu_cxx::__freeres();
    }
}

void LoadModuleRecords(HINSTANCE instance)
{
    ReadDumpMode();
    FindModuleDirectory(instance);
    ModuleHandle = instance;
    AppIdentity.Id = 0;
    SetIdentityDefaults();
}
