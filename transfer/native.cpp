// DAT_IMAGENATIVEXFER: one frame as a device-independent bitmap in a movable
// global block that the application receives and owns.
#include "capability/container.h"
#include "grabber/capture.h"
#include "grabber/startup.h"
#include "grabber/timed_capture.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"

TW_UINT16 HandleImageNativeXfer(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_IMAGENATIVEXFER.  ";
    // The message first, in every state, as the memory transfer checks it.
    if (triplet.MSG != MSG_GET) {
        return FailWith(context, TWCC_BADPROTOCOL);
    }
    if (SourceState != 600) {
        return FailWith(context, TWCC_SEQERROR);
    }
    if (triplet.pData == nullptr) {
        return FailWith(context, TWCC_BADVALUE);
    }
    if (MilInfo.MilImage == 0) {
        return FailWith(context, TWCC_LOWMEMORY);
    }
    HGLOBAL bitmap = HandToApplication(TransferNative());
    if (bitmap == nullptr) {
        return FailWith(context, TWCC_LOWMEMORY);
    }
    *static_cast<TW_HANDLE*>(triplet.pData) = bitmap;
    SourceState = 700;
    return TWRC_XFERDONE;
}

HGLOBAL TransferNative()
{
    DebugLog().Write("Talvenix TWAIN DS: transfer mode: native transfer\n");
    const FrameLayout layout = CurrentFrameLayout();
    if (MilInfo.HostAddress == nullptr) {
        return nullptr;
    }
    const BitmapStyle style = NativeLayout == 1 ? BitmapStyle::Legacy : BitmapStyle::Standard;
    HGLOBAL bitmap = GlobalAlloc(GMEM_MOVEABLE, BitmapBytes(layout, style));
    if (bitmap == nullptr) {
        return nullptr;
    }
    bool written = false;
    {
        GlobalLockGuard lock(bitmap);
        // Grabbed only now: a block that cannot be had costs no grab. The
        // grab takes the buffer of a frame kept for a memory transfer.
        if (lock.Bytes() != nullptr) {
            EndMemoryTransfer();
            written = TakeNextImage() == 0;
            if (written) {
                WriteBitmap(static_cast<const TW_UINT8*>(MilInfo.HostAddress), lock.Bytes(), layout, style);
            }
        }
    }
    if (!written) {
        GlobalFree(bitmap);
        return nullptr;
    }
    return bitmap;
}
