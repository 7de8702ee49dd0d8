// DAT_IMAGEINFO and DAT_IMAGELAYOUT: what the next image looks like. Both
// describe the whole frame of the digitizer's current format.
#include "capability/container_bytes.h"
#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"

namespace {

CapabilityItem Current(TW_UINT16 cap)
{
    CapabilityItem item;
    GetCurrentItem(cap, item);
    return item;
}

TW_FIX32 CurrentFix32(TW_UINT16 cap)
{
    const TW_UINT32 value = Current(cap).AsUInt32();
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(value & 0xFFFF);
    fix.Frac = static_cast<TW_UINT16>(value >> 16);
    return fix;
}

bool SameFix32(TW_FIX32 a, TW_FIX32 b)
{
    return a.Whole == b.Whole && a.Frac == b.Frac;
}

bool SameFrame(const TW_FRAME& a, const TW_FRAME& b)
{
    return SameFix32(a.Left, b.Left) && SameFix32(a.Top, b.Top) && SameFix32(a.Right, b.Right) &&
           SameFix32(a.Bottom, b.Bottom);
}

}  // namespace

TW_UINT16 HandleImageInfo(const Triplet& triplet)
{
    auto* info = static_cast<TW_IMAGEINFO*>(triplet.pData);
    if (triplet.MSG != MSG_GET) {
        return FailWith("General failure in transfer.  ", TWCC_BADPROTOCOL);
    }
    if (info == nullptr) {
        return FailWith("General failure in transfer.  ", TWCC_BADVALUE);
    }
    if (MilInfo.MilImage == 0) {
        return FailWith("General failure in transfer.  ", TWCC_LOWMEMORY);
    }
    info->ImageWidth = static_cast<TW_INT32>(GetImageWidth());
    info->ImageLength = static_cast<TW_INT32>(GetImageHeight());
    // The samples delivered: the pixel type negotiated, not the buffer's bands.
    info->SamplesPerPixel = static_cast<TW_INT16>(DeliveredSamples(CurrentFrameLayout()));
    for (int i = 0; i < 8; ++i) {
        info->BitsPerSample[i] = i < info->SamplesPerPixel ? 8 : 0;
    }
    info->XResolution = CurrentFix32(ICAP_XRESOLUTION);
    info->YResolution = CurrentFix32(ICAP_YRESOLUTION);
    info->BitsPerPixel = static_cast<TW_INT16>(Current(ICAP_BITDEPTH).AsUInt32());
    info->Planar = Current(ICAP_PLANARCHUNKY).AsUInt32() == TWPC_PLANAR ? 1 : 0;
    info->PixelType = static_cast<TW_INT16>(Current(ICAP_PIXELTYPE).AsUInt32());
    info->Compression = static_cast<TW_UINT16>(Current(ICAP_COMPRESSION).AsUInt32());
    return TWRC_SUCCESS;
}

TW_UINT16 HandleImageLayout(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_IMAGEINFO.  ";
    DebugLog log;
    const TW_UINT32 unit = Current(ICAP_UNITS).AsUInt32();
    auto* layout = static_cast<TW_IMAGELAYOUT*>(triplet.pData);
    // A layout is negotiated, and negotiation ends when the source is
    // enabled; questions stay answered in every state.
    if ((triplet.MSG == MSG_SET || triplet.MSG == MSG_RESET) && SourceState >= 500) {
        return FailWith(context, TWCC_SEQERROR);
    }
    // No image buffer (too little board memory for the format): no frame to
    // describe until the user picks a format that fits.
    if (MilInfo.MilImage == 0) {
        return FailWith(context, TWCC_LOWMEMORY);
    }
    switch (triplet.MSG) {
    case MSG_GET:
    case MSG_GETDEFAULT:
    case MSG_RESET:
        if (layout == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        if (unit != TWUN_PIXELS) {
            log.Write("current unit is TWUN_%d, have to convert to pixels ?????????\n", static_cast<int>(unit));
        }
        layout->Frame.Left = FloatToFix32(0.0);
        layout->Frame.Top = FloatToFix32(0.0);
        layout->Frame.Right = FloatToFix32(static_cast<double>(GetImageWidth()));
        layout->Frame.Bottom = FloatToFix32(static_cast<double>(GetImageHeight()));
        layout->DocumentNumber = 1;
        layout->PageNumber = 1;
        layout->FrameNumber = 1;
        return TWRC_SUCCESS;
    case MSG_SET: {
        // The source cannot crop, yet every source must answer a layout
        // request: the application gets the full frame written back, as
        // MSG_GET fills it, and TWRC_CHECKSTATUS when it asked for another
        // frame. The three numbers are the source's to assign, not a request.
        if (layout == nullptr) {
            return FailWith(context, TWCC_BADVALUE);
        }
        const TW_FRAME asked = layout->Frame;
        Triplet get = triplet;
        get.MSG = MSG_GET;
        const TW_UINT16 result = HandleImageLayout(get);
        if (result != TWRC_SUCCESS) {
            return result;
        }
        return SameFrame(asked, layout->Frame) ? TWRC_SUCCESS : TWRC_CHECKSTATUS;
    }
    default:
        return FailWith(context, TWCC_BADPROTOCOL);
    }
}
