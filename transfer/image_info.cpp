// DAT_IMAGEINFO and DAT_IMAGELAYOUT: what the next image looks like and
// which part of the digitizer's frame it covers. An application may set a
// region of interest in pixels; every transfer then delivers that rectangle.
#include "capability/container_bytes.h"
#include "capability/negotiation.h"
#include "capability/region.h"
#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/startup.h"
#include "grabber/timed_capture.h"
#include "settings/source_settings.h"
#include "transfer/transfers.h"
#include "twain/condition.h"
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

double Fix32Value(TW_FIX32 fix)
{
    return fix.Whole + fix.Frac / 65536.0;
}

// The frame in the current unit (pixels, or inches for a TWAIN 2 application
// that chose them).
void FillLayout(TW_IMAGELAYOUT& layout, const ImageRegion& region)
{
    const double across = PixelsPerUnit(false);
    const double down = PixelsPerUnit(true);
    layout.Frame.Left = FloatToFix32(region.Left / across);
    layout.Frame.Top = FloatToFix32(region.Top / down);
    layout.Frame.Right = FloatToFix32((region.Left + region.Width) / across);
    layout.Frame.Bottom = FloatToFix32((region.Top + region.Height) / down);
    layout.DocumentNumber = 1;
    layout.PageNumber = 1;
    layout.FrameNumber = 1;
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
    // The image delivered: the region, in the pixel type negotiated.
    const FrameLayout delivered = CurrentFrameLayout();
    info->ImageWidth = static_cast<TW_INT32>(delivered.Width);
    info->ImageLength = static_cast<TW_INT32>(delivered.Height);
    info->SamplesPerPixel = static_cast<TW_INT16>(DeliveredSamples(delivered));
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
    const TW_UINT16 msg = triplet.MSG;
    if (msg != MSG_GET && msg != MSG_GETDEFAULT && msg != MSG_RESET && msg != MSG_SET) {
        return FailWith(context, TWCC_BADPROTOCOL);
    }
    if (layout == nullptr) {
        return FailWith(context, TWCC_BADVALUE);
    }
    const uint32_t width = GetImageWidth();
    const uint32_t height = GetImageHeight();
    if (msg == MSG_SET) {
        // A frame in the current unit, taken to whole pixels within the
        // digitizer's frame; the application gets the region taken written
        // back, and TWRC_CHECKSTATUS when it differs from the frame asked
        // for. The three numbers are the source's to assign, not a request.
        const TW_FRAME& asked = layout->Frame;
        const double across = PixelsPerUnit(false);
        const double down = PixelsPerUnit(true);
        ImageRegion region;
        const RegionFit fit = FitRegion(Fix32Value(asked.Left) * across, Fix32Value(asked.Top) * down,
                                        Fix32Value(asked.Right) * across, Fix32Value(asked.Bottom) * down, width,
                                        height, region);
        if (fit == RegionFit::Refused) {
            return FailWith(context, TWCC_BADVALUE);
        }
        NegotiatedRegion = region;
        FillLayout(*layout, region);
        return fit == RegionFit::Taken ? TWRC_SUCCESS : TWRC_CHECKSTATUS;
    }
    // MSG_GETDEFAULT and MSG_RESET answer the whole frame, MSG_RESET
    // forgetting the region.
    if (msg == MSG_RESET) {
        NegotiatedRegion = {};
    }
    FillLayout(*layout, msg == MSG_GET ? DeliveredRegion(NegotiatedRegion, width, height)
                                       : ImageRegion{0, 0, width, height});
    return TWRC_SUCCESS;
}

TW_UINT16 HandleExtImageInfo(const Triplet& triplet)
{
    const char* const context = "General failure in response to DAT_EXTIMAGEINFO.  ";
    if (triplet.MSG != MSG_GET) {
        return FailWith(context, TWCC_BADPROTOCOL);
    }
    // What the image just transferred carries, asked before its end.
    if (SourceState != 700) {
        return FailWith(context, TWCC_SEQERROR);
    }
    auto* info = static_cast<TW_EXTIMAGEINFO*>(triplet.pData);
    if (info == nullptr) {
        return FailWith(context, TWCC_BADVALUE);
    }
    for (TW_UINT32 i = 0; i < info->NumInfos; ++i) {
        TW_INFO& item = info->Info[i];
        item.NumItems = 1;
        item.ItemType = TWTY_UINT32;
        item.ReturnCode = TWRC_SUCCESS;
        switch (item.InfoID) {
        case TWEI_FRAMENUMBER: item.Item = static_cast<TW_UINT32>(DeliveredStamp.FrameNumber); break;
        case TWEI_CAPTUREMS: item.Item = DeliveredStamp.MsSinceEnable; break;
        default:
            item.NumItems = 0;
            item.ItemType = 0;
            item.Item = 0;
            item.ReturnCode = TWRC_INFONOTSUPPORTED;
            break;
        }
    }
    return TWRC_SUCCESS;
}
