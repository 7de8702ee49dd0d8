// A 32-bit "Twain_32.ds" that answers out of bounds, for the 64-bit tests:
// put in place of the real source, it makes the host hand Twain_64.ds the
// answers a broken host would. Which answer it breaks is named by
// TALVENIX_BROKEN_ANSWER (the host inherits the application's environment);
// every other call succeeds and leaves its structure alone: a capability or
// a setup asked for comes back empty.
#include <windows.h>

#include <cstring>

#include "twain/twain_types.h"

namespace {

bool Breaks(const char* name)
{
    char value[64] = "";
    const DWORD length = GetEnvironmentVariableA("TALVENIX_BROKEN_ANSWER", value, sizeof value);
    return length > 0 && length < sizeof value && std::strcmp(value, name) == 0;
}

}  // namespace

extern "C" __declspec(dllexport) TW_UINT16 __stdcall DS_Entry(pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat,
                                                              TW_UINT16, TW_MEMREF data)
{
    if (dat == DAT_CAPABILITY && Breaks("pumping but silent")) {
        // A source stuck in a loop of its own: its thread takes every
        // message and never answers the call, and shows no window.
        for (;;) {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageA(&message);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
        }
    }
    if (dg == DG_IMAGE && dat == DAT_IMAGEMEMXFER && data != nullptr && Breaks("strip past the buffer")) {
        // Claims 16 bytes more than the buffer it was given: a reader that
        // believes it writes past the application's buffer.
        auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
        if (xfer->Memory.TheMem != nullptr) {
            std::memset(xfer->Memory.TheMem, 0x5A, xfer->Memory.Length);
        }
        xfer->Compression = TWCP_NONE;
        xfer->BytesPerRow = xfer->Memory.Length + 16;
        xfer->Columns = xfer->BytesPerRow;
        xfer->Rows = 1;
        xfer->XOffset = 0;
        xfer->YOffset = 0;
        xfer->BytesWritten = xfer->BytesPerRow;
        return TWRC_SUCCESS;
    }
    if (dg == DG_IMAGE && dat == DAT_IMAGEMEMXFER && data != nullptr &&
        Breaks("strip rows that are not the bytes written")) {
        // Fits the buffer, but 3 rows of 100 bytes are not 4096 bytes: a
        // reader that believes the rows misplaces the image.
        auto* xfer = static_cast<TW_IMAGEMEMXFER*>(data);
        if (xfer->Memory.TheMem != nullptr) {
            std::memset(xfer->Memory.TheMem, 0x5A, 4096);
        }
        xfer->Compression = TWCP_NONE;
        xfer->BytesPerRow = 100;
        xfer->Columns = 100;
        xfer->Rows = 3;
        xfer->XOffset = 0;
        xfer->YOffset = 0;
        xfer->BytesWritten = 4096;
        return TWRC_SUCCESS;
    }
    if (dg == DG_IMAGE && dat == DAT_IMAGENATIVEXFER && data != nullptr && Breaks("bitmap shorter than a header")) {
        *static_cast<TW_HANDLE*>(data) = GlobalAlloc(GHND, 16);
        return TWRC_XFERDONE;
    }
    if (dg == DG_IMAGE && dat == DAT_IMAGENATIVEXFER && data != nullptr &&
        Breaks("bitmap header claiming more than its block")) {
        // A grey 768 x 576 bitmap's header, in a block of 64 bytes.
        HGLOBAL block = GlobalAlloc(GHND, 64);
        auto* header = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
        header->biSize = sizeof(BITMAPINFOHEADER);
        header->biWidth = 768;
        header->biHeight = 576;
        header->biPlanes = 1;
        header->biBitCount = 8;
        GlobalUnlock(block);
        *static_cast<TW_HANDLE*>(data) = block;
        return TWRC_XFERDONE;
    }
    return TWRC_SUCCESS;
}
