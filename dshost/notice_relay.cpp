// TWAINDSM.DLL of the host process: the 32-bit source sends its notices
// (MSG_XFERREADY, MSG_CLOSEDSREQ) to the manager module of that name when one
// is loaded, so the host loads this one before the source. It posts each
// notice to the 64-bit source's window, which hands it to the application's
// own manager on the application's thread.
#include <windows.h>

#include "twain/twain_types.h"

namespace {

HWND NoticeWindow = nullptr;
UINT NoticeMessage = 0;

}  // namespace

extern "C" __declspec(dllexport) void __stdcall RelayNoticesTo(HWND window, UINT message)
{
    NoticeWindow = window;
    NoticeMessage = message;
}

extern "C" __declspec(dllexport) TW_UINT16 __stdcall DSM_Entry(pTW_IDENTITY /*origin*/, pTW_IDENTITY /*destination*/,
                                                               TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                                               TW_MEMREF /*data*/)
{
    if (dg != DG_CONTROL || dat != DAT_NULL || (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK)) {
        return TWRC_FAILURE;
    }
    return PostMessageA(NoticeWindow, NoticeMessage, msg, 0) ? TWRC_SUCCESS : TWRC_FAILURE;
}
