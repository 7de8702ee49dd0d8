// The video format change. The adjustments and the look-up table's curves
// live in the digitizer and die with it: a refused format puts back those of
// the former one, so that an application's failed request changes nothing.
#include "grabber/video_format.h"

#include <cstring>

#include "grabber/startup.h"
#include "grabber/video_adjustments.h"
#include "settings/registry.h"
#include "settings/source_settings.h"

namespace {

constexpr uint32_t Bands[3] = {Band0, Band1, Band2};

struct HeldLevels {
    uint32_t Brightness, Contrast, Hue, Saturation;
    uint32_t Black[3], White[3];
    uint8_t Lut[MaxLutValueBytes];
    size_t LutBytes;
};

HeldLevels HoldLevels()
{
    HeldLevels held = {GetBrightness(), GetContrast(), GetHue(), GetSaturation(), {}, {}, {}, 0};
    for (int band = 0; band < 3; ++band) {
        held.Black[band] = GetBlackRef(Bands[band]);
        held.White[band] = GetWhiteRef(Bands[band]);
    }
    held.LutBytes = CurrentLutValues(held.Lut);
    return held;
}

// The levels of the running data path, as ApplySettings sends them, and
// the curves the restart forgot.
void PutBackLevels(const HeldLevels& held)
{
    ApplyLutValues(held.Lut, held.LutBytes);
    if (IsRgbDataPath() != 0) {
        for (int band = 0; band < 3; ++band) {
            SetBlackRef(held.Black[band], Bands[band]);
            SetWhiteRef(held.White[band], Bands[band]);
        }
        SetChannel(GetChannel());
        return;
    }
    SetSaturation(held.Saturation);
    SetHue(held.Hue);
    SetContrast(held.Contrast);
    SetBrightness(held.Brightness);
}

}  // namespace

bool RgbInputFormat(const char* format)
{
    return std::strstr(format, "_RGB") != nullptr;
}

uint32_t SyncChannelInUse()
{
    return GetChannel() == SyncExtern ? SyncExtern : SyncOnGreen;
}

uint16_t RestartDigitizer(char* format, FormatRefusal refusal, const FormatStarted& started)
{
    char former[sizeof SourceSettings.DigFormat];
    CopyDigFormat(former);
    // Only a refusal that keeps the former format needs its levels.
    const HeldLevels held = refusal == FormatRefusal::KeepRunning ? HoldLevels() : HeldLevels{};
    MilFreeDigitizer();
    const uint16_t result = MilInitDigitizer(format, refusal == FormatRefusal::FallBack);
    if (result == 2) {
        if (MilInitDigitizer(former) != 0) {
            return 1;
        }
        PutBackLevels(held);
        SetDispZoom(GetDispZoom());
        return 2;
    }
    if (result != 0) {
        return 1;
    }
    if (started.Run != nullptr) {
        started.Run(format, started.Context);
    }
    ApplyDefaultReferences();
    SetDispZoom(GetDispZoom());
    return 0;
}
