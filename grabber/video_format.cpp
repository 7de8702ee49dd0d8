// The video format change. The adjustments and the look-up table's curves
// live in the digitizer and die with it, the region belongs to its frame and
// the start-up selects the board's own pixel type: a change an application
// asked for that cannot be made whole puts all of it back, so that a failed
// request changes nothing.
#include "grabber/video_format.h"

#include <cstring>
#include <initializer_list>

#include "capability/store.h"
#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "settings/registry.h"
#include "settings/source_settings.h"

namespace {

// Holds a copy of `cap`'s stored container, if the store has one: false
// when memory for it was refused.
bool HoldCapability(TW_UINT16 cap, HGLOBAL& container, TW_UINT16& kind)
{
    const CapabilityEntry* entry = FindCapability(cap);
    if (entry == nullptr) {
        return true;
    }
    kind = entry->ConType;
    container = CopyCapability(cap);
    return container != nullptr;
}

// Hands a held container back to the store; kept by the holder (and freed
// with it) when there is no store to take it.
void PutBackCapability(TW_UINT16 cap, HGLOBAL& container, TW_UINT16 kind)
{
    if (container != nullptr && StoreCapability(cap, kind, container)) {
        container = nullptr;
    }
}

}  // namespace

HeldSession::~HeldSession()
{
    for (HGLOBAL container : {PixelType, BitDepth}) {
        if (container != nullptr) {
            GlobalFree(container);
        }
    }
}

uint16_t HoldSession(HeldSession& held)
{
    CopyDigFormat(held.Format);
    held.Levels = CurrentLevels();
    held.Channel = GetChannel();
    held.LutBytes = CurrentLutValues(held.Lut);
    held.Region = NegotiatedRegion;
    return HoldCapability(ICAP_PIXELTYPE, held.PixelType, held.PixelTypeKind) &&
                   HoldCapability(ICAP_BITDEPTH, held.BitDepth, held.BitDepthKind)
               ? 0
               : 1;
}

uint16_t PutBackSession(HeldSession& held)
{
    char running[sizeof SourceSettings.DigFormat];
    CopyDigFormat(running);
    if (MilInfo.MilDigitizer == 0 || std::strcmp(running, held.Format) != 0) {
        MilFreeDigitizer();
        char format[sizeof held.Format];
        std::memcpy(format, held.Format, sizeof format);
        // The held pixel type and depth replace the start-up's own: memory
        // refused for those is no failure here.
        const uint16_t started = MilInitDigitizer(format);
        if (started != 0 && started != 3) {
            return 1;
        }
    }
    // The curves and levels the restart forgot, as ApplySettings sends them.
    ApplyLutValues(held.Lut, held.LutBytes);
    SendLevels(held.Levels);
    if (IsRgbDataPath() != 0 || GetChannel() != held.Channel) {
        SetChannel(held.Channel);
    }
    SetDispZoom(GetDispZoom());
    PutBackCapability(ICAP_PIXELTYPE, held.PixelType, held.PixelTypeKind);
    PutBackCapability(ICAP_BITDEPTH, held.BitDepth, held.BitDepthKind);
    NegotiatedRegion = held.Region;
    return 0;
}

bool RgbInputFormat(const char* format)
{
    return std::strstr(format, "_RGB") != nullptr;
}

uint32_t SyncChannelInUse()
{
    return GetChannel() == SyncExtern ? SyncExtern : SyncOnGreen;
}

namespace {

// The restart; `held` (KeepRunning) is what a failed one puts back,
// nullptr for the dialog's FallBack.
uint16_t Restart(char* format, HeldSession* held, const FormatStarted& started)
{
    MilFreeDigitizer();
    const uint16_t result = MilInitDigitizer(format, held == nullptr);
    if (held != nullptr && result != 0) {
        // Refused by the board (2), or short of memory.
        if (PutBackSession(*held) != 0) {
            return 1;
        }
        return result == 2 ? 2 : 3;
    }
    // The dialog's change goes on with the pixel type that stood.
    if (result != 0 && result != 3) {
        return 1;
    }
    if (started.Run != nullptr) {
        started.Run(format, started.Context);
    }
    ApplyDefaultReferences();
    SetDispZoom(GetDispZoom());
    return 0;
}

}  // namespace

uint16_t RestartDigitizer(char* format, FormatRefusal refusal, const FormatStarted& started)
{
    if (refusal == FormatRefusal::FallBack) {
        return Restart(format, nullptr, started);
    }
    HeldSession held;
    return HoldSession(held) != 0 ? 3 : Restart(format, &held, started);
}

uint16_t RestartDigitizer(char* format, HeldSession& held, const FormatStarted& started)
{
    return Restart(format, &held, started);
}
