// The module's load and unload, and the records that live as long as it.
#include "twain/source.h"

DWORD NativeLayout = 0;
HWND DialogHandle = nullptr;

// The C++ runtime's hook that frees its emergency exception buffer.
namespace __gnu_cxx {
void __freeres() noexcept;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (instance == nullptr) {
            return FALSE;
        }
        LoadModuleRecords(instance);
        break;
    case DLL_PROCESS_DETACH:
        AppIdentity.Id = 0;
        // The statically linked runtime keeps about 19 kB for exceptions
        // thrown when memory is out; a manager that unloads the source after
        // every session would lose them at each unload. At process exit
        // (reserved not null) nothing needs freeing.
        if (reserved == nullptr) {
            __gnu_cxx::__freeres();
        }
        break;
    default:
        break;
    }
    return TRUE;
}
