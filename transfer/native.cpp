// DAT_IMAGENATIVEXFER: one frame as a device-independent bitmap in a movable
// global block that the application receives and owns.
#include "capability/container.h"
#include "diag/debug_log.h"
#include "grabber/capture.h"
#include "grabber/startup.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/source.h"

TW_UINT16 HandleImageNativeXfer(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_IMAGENATIVEXFER.  ";
    if (SourceState != 600) {
        ReportCondition(context, TWCC_SEQERROR);
        return TWRC_FAILURE;
    }
    if (triplet.MSG != MSG_GET) {
        ReportCondition(context, TWCC_BADPROTOCOL);
        return TWRC_FAILURE;
    }
    if (triplet.pData == nullptr) {
        ReportCondition(context, TWCC_BADVALUE);
        return TWRC_FAILURE;
    }
    HGLOBAL bitmap = TransferNative();
    if (bitmap == nullptr) {
        ReportCondition(context, TWCC_LOWMEMORY);
        return TWRC_FAILURE;
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
    HGLOBAL bitmap = GlobalAlloc(GMEM_MOVEABLE, BitmapBytes(layout));
    if (bitmap == nullptr) {
        return nullptr;
    }
    {
        GlobalLockGuard lock(bitmap);
        if (lock.Bytes() == nullptr) {
            GlobalFree(bitmap);
            return nullptr;
        }
        WriteBitmapHeader(lock.Bytes(), layout);
        // Grabbed only now: a block that cannot be had costs no grab.
        MilGrabFrame();
        CopyPixelBlock(static_cast<const TW_UINT8*>(MilInfo.HostAddress), lock.Bytes() + BitmapPixelOffset,
                       layout);
    }
    return bitmap;
}
