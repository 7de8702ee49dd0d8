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

struct HeldLevels {
    DigitizerLevels Levels;
    uint8_t Lut[MaxLutValueBytes];
    size_t LutBytes;
};

HeldLevels HoldLevels()
{
    HeldLevels held = {CurrentLevels(), {}, 0};
    held.LutBytes = CurrentLutValues(held.Lut);
    return held;
}

// The levels of the running data path, as ApplySettings sends them, and
// the curves the restart forgot.
void PutBackLevels(const HeldLevels& held)
{
    ApplyLutValues(held.Lut, held.LutBytes);
    SendLevels(held.Levels);
    if (IsRgbDataPath() != 0) {
        SetChannel(GetChannel());
    }
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
