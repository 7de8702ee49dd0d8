// Twain_64.ds: the load and unload of the 64-bit source. It keeps no
// state table of its own; SourceState only says whether it is open (300 or
// 400), the 32-bit source in the host keeps the real one.
#include "ds64/host_link.h"
#include "twain/source.h"

LONG SourceState = 300;

namespace {

// One trace for a 64-bit application's session, where the user guide puts
// it: the 32-bit source's TALVENIX.LOG, which this side's lines join.
void UseHostFolderForLog()
{
    char folder[MAX_PATH] = "";
    const int length = FindHostFolder(folder) == 0 ? lstrlenA(folder) : 0;
    if (length > 0 && static_cast<size_t>(length) <= sizeof ModuleDirectory) {
        folder[length - 1] = '\0';
        lstrcpyA(ModuleDirectory, folder);
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (instance == nullptr) {
            return FALSE;
        }
        LoadModuleRecords(instance);
        UseHostFolderForLog();
        break;
    case DLL_PROCESS_DETACH:
        // Unloaded while open: the host must not outlive the session. At
        // process exit (reserved not null) the job object ends it.
        if (reserved == nullptr) {
            StopHost(0);
        }
        AppIdentity.Id = 0;
        FreeRuntimeAtUnload(reserved);
        break;
    default:
        break;
    }
    return TRUE;
}
