// DAT_CUSTOMDSDATA: the user's whole setup handed to the application as one
// block (MSG_GET) and taken back from it (MSG_SET), so that a program can
// restore with the dialog hidden what the user once set up in it. The
// block's bytes are settings/setup_block.h's; here they meet the board.
#include <cstring>

#include "capability/container.h"
#include "capability/negotiation.h"
#include "capability/region.h"
#include "capability/store.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "grabber/video_format.h"
#include "settings/input_lut.h"
#include "settings/registry.h"
#include "settings/setup_block.h"
#include "settings/source_settings.h"
#include "source/control.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"
#include "twain/text.h"

namespace {

const char* const CustomDataContext = "General failure in response to DAT_CUSTOMDSDATA.  ";

// The setup in force: what the digitizer runs, as the dialog's "Save
// settings" would store it, with the session's pixel type and region. Like
// the dialog, it asks the digitizer only for the adjustments of the data
// path in use; the other path's are the user's stored ones.
bool CurrentSetup(SetupRecord& record)
{
    char format[sizeof SourceSettings.DigFormat];
    CopyDigFormat(format);
    if (std::strlen(format) >= sizeof record.Format) {
        return false;
    }
    CopyText(record.Format, sizeof record.Format, format);
    record.Channel = GetChannel();
    const SourceSettingsRecord& stored = SourceSettings;
    const bool composite = IsRgbDataPath() == 0;
    record.Brightness = ClampLevel(composite ? GetBrightness() : stored.Brightness);
    record.Contrast = ClampLevel(composite ? GetContrast() : stored.Contrast);
    record.Hue = ClampLevel(composite && IsColor() == 1 ? GetHue() : stored.Hue);
    record.Saturation = ClampLevel(composite && IsColor() == 1 ? GetSaturation() : stored.Saturation);
    const uint32_t blacks[3] = {stored.BlackRef0, stored.BlackRef1, stored.BlackRef2};
    const uint32_t whites[3] = {stored.WhiteRef0, stored.WhiteRef1, stored.WhiteRef2};
    for (int band = 0; band < 3; ++band) {
        const bool asked = !composite && (band == 0 || IsColor() == 1);
        record.BlackRef[band] = ClampLevel(asked ? GetBlackRef(Bands[band]) : blacks[band]);
        record.WhiteRef[band] = ClampLevel(asked ? GetWhiteRef(Bands[band]) : whites[band]);
    }
    CapabilityItem pixelType;
    GetCurrentItem(ICAP_PIXELTYPE, pixelType);
    record.PixelType = static_cast<uint16_t>(pixelType.AsUInt32());
    record.FrameWidth = GetImageWidth();
    record.FrameHeight = GetImageHeight();
    if (NegotiatedRegion.Width != 0) {
        const ImageRegion region = DeliveredRegion(NegotiatedRegion, record.FrameWidth, record.FrameHeight);
        record.RegionLeft = region.Left;
        record.RegionTop = region.Top;
        record.RegionWidth = region.Width;
        record.RegionHeight = region.Height;
    }
    if (IsLutAvailable() == 1) {
        record.LutBytes = static_cast<uint32_t>(CurrentLutValues(record.Lut));
    }
    return true;
}

// The pixel type as an application sets it: TWCC_SUCCESS, or the condition
// the capability refused it with.
TW_UINT16 SetPixelType(uint16_t pixelType)
{
    TW_CAPABILITY capability = {ICAP_PIXELTYPE, TWON_ONEVALUE, MakeOneValue(TWTY_UINT16, &pixelType)};
    if (capability.hContainer == nullptr) {
        return TWCC_LOWMEMORY;
    }
    Triplet set = {&SourceIdentity, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability};
    const TW_UINT16 result = HandlePixelType(set);
    GlobalFree(capability.hContainer);
    return result == TWRC_SUCCESS ? TWCC_SUCCESS : PendingCondition;
}

// What the dialog does with the same values: a format change restarts the
// digitizer, the adjustments of the data path in use reach it at once (the
// other path's are not the digitizer's to take), the curves are programmed
// into the board's table. The block is taken whole or not at all: a pixel
// type the application's own list of pixel types leaves out is refused
// first (TWCC_BADVALUE), a format the board refuses keeps everything as it
// was (TWCC_BADVALUE), and so does memory refused on the way
// (TWCC_LOWMEMORY); TWCC_BUMMER when no digitizer runs any more.
TW_UINT16 ApplySetup(const SetupRecord& record)
{
    DebugLog log;
    HeldSession held;
    if (HoldSession(held) != 0) {
        return TWCC_LOWMEMORY;
    }
    const TW_UINT16 offered = EnumerationOffers(ICAP_PIXELTYPE, record.PixelType);
    if (offered != TWCC_SUCCESS) {
        return offered;
    }
    if (std::strcmp(held.Format, record.Format) != 0) {
        char format[sizeof held.Format];
        CopyText(format, sizeof format, record.Format);
        switch (RestartDigitizer(format, held, FormatStarted{})) {
        case 0:
            break;
        case 2:
            return TWCC_BADVALUE;
        case 3:
            return TWCC_LOWMEMORY;
        default:
            return TWCC_BUMMER;
        }
    }
    SetChannel(record.Channel);
    SendLevels({record.Brightness,
                record.Contrast,
                record.Hue,
                record.Saturation,
                {record.BlackRef[0], record.BlackRef[1], record.BlackRef[2]},
                {record.WhiteRef[0], record.WhiteRef[1], record.WhiteRef[2]}});
    ApplyLutValues(record.Lut, record.LutBytes);
    const TW_UINT16 pixelType = SetPixelType(record.PixelType);
    if (pixelType != TWCC_SUCCESS) {
        return PutBackSession(held) == 0 ? pixelType : TWCC_BUMMER;
    }
    // A region belongs to the frame it was set in; a board that runs the
    // format in another frame delivers the whole of it.
    NegotiatedRegion = {};
    if (record.FrameWidth == GetImageWidth() && record.FrameHeight == GetImageHeight()) {
        NegotiatedRegion = {record.RegionLeft, record.RegionTop, record.RegionWidth, record.RegionHeight};
    } else {
        log.Write("Talvenix TWAIN DS: the setup's region lies in a frame of %u x %u, not this one \n",
                  static_cast<unsigned>(record.FrameWidth), static_cast<unsigned>(record.FrameHeight));
    }
    return TWCC_SUCCESS;
}

TW_UINT16 GetSetup(TW_CUSTOMDSDATA& data)
{
    SetupRecord record;
    if (!CurrentSetup(record)) {
        return FailWith(CustomDataContext, TWCC_BUMMER);
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, SetupBlockBytes);
    if (block == nullptr) {
        return FailWith(CustomDataContext, TWCC_LOWMEMORY);
    }
    {
        GlobalLockGuard lock(block);
        if (lock.Bytes() == nullptr) {
            GlobalFree(block);
            return FailWith(CustomDataContext, TWCC_LOWMEMORY);
        }
        WriteSetupBlock(record, lock.Bytes());
    }
    // The application frees it as its manager has it allocated.
    block = HandToApplication(block);
    if (block == nullptr) {
        return FailWith(CustomDataContext, TWCC_LOWMEMORY);
    }
    data.InfoLength = static_cast<TW_UINT32>(SetupBlockBytes);
    data.hData = block;
    return TWRC_SUCCESS;
}

TW_UINT16 SetSetup(const TW_CUSTOMDSDATA& data)
{
    // The application's block stays the application's; InfoLength may not
    // claim more than the block holds.
    if (data.hData == nullptr || GlobalSize(data.hData) < data.InfoLength) {
        return FailWith(CustomDataContext, TWCC_BADVALUE);
    }
    SetupRecord record;
    bool valid = false;
    {
        GlobalLockGuard lock(data.hData);
        valid = lock.Bytes() != nullptr && ReadSetupBlock(lock.Bytes(), data.InfoLength, record);
    }
    if (!valid) {
        return FailWith(CustomDataContext, TWCC_BADVALUE);
    }
    const TW_UINT16 condition = ApplySetup(record);
    if (condition != TWCC_SUCCESS) {
        return FailWith(CustomDataContext, condition);
    }
    return TWRC_SUCCESS;
}

}  // namespace

TW_UINT16 HandleCustomDsData(const Triplet& triplet)
{
    auto* data = static_cast<TW_CUSTOMDSDATA*>(triplet.pData);
    if (triplet.MSG != MSG_GET && triplet.MSG != MSG_SET) {
        return FailWith(CustomDataContext, TWCC_BADPROTOCOL);
    }
    // A setup is negotiated like a capability: set before enabling only.
    if (triplet.MSG == MSG_SET && SourceState != 400) {
        return FailWith(CustomDataContext, TWCC_SEQERROR);
    }
    if (data == nullptr) {
        return FailWith(CustomDataContext, TWCC_BADVALUE);
    }
    // No image buffer: no frame for a region, no digitizer to ask.
    if (MilInfo.MilImage == 0) {
        return FailWith(CustomDataContext, TWCC_LOWMEMORY);
    }
    return triplet.MSG == MSG_GET ? GetSetup(*data) : SetSetup(*data);
}
