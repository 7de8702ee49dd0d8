// The module's load and unload, and the records that live as long as it.
#include "capability/negotiation.h"
#include "grabber/board_capabilities.h"
#include "grabber/startup.h"
#include "source/dispatch.h"
#include "transfer/image_codecs.h"
#include "transfer/transfers.h"
#include "twain/source.h"

DWORD NativeLayout = 0;
HWND DialogHandle = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (instance == nullptr) {
            return FALSE;
        }
        LoadModuleRecords(instance);
        SetDeviceOnlineProbe(MilBoardAnswers);
        SetEncoderProbe(ImageCodecsAvailable);
        OnImageBufferGone(EndMemoryTransfer);
        RegisterBoardCapabilities();
        RegisterSupportedDats();
        break;
    case DLL_PROCESS_DETACH:
        AppIdentity.Id = 0;
        FreeRuntimeAtUnload(reserved);
        break;
    default:
        break;
    }
    return TRUE;
}
