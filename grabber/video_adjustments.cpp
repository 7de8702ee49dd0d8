#include "grabber/video_adjustments.h"

#include <initializer_list>

#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "settings/registry.h"
#include "settings/source_settings.h"
#include "twain/debug_log.h"

namespace {

uint32_t Inquire(long item)
{
    if (!MilBound()) {
        return 0;
    }
    return static_cast<uint32_t>(Mil.MdigInquire(MilInfo.MilDigitizer, item, nullptr));
}

void Reference(long item, uint32_t level)
{
    if (MilBound()) {
        Mil.MdigReference(MilInfo.MilDigitizer, item, static_cast<long>(ClampLevel(level)));
    }
}

long Banded(uint32_t band, long item)
{
    return static_cast<long>(band | static_cast<uint32_t>(item));
}

void DrawCurve(MilId table, const CurveBytes& nodes)
{
    for (size_t i = 0; i < RampCount(nodes); ++i) {
        const LutRamp ramp = RampSegment(nodes, i);
        Mil.MgenLutRamp(table, ramp.StartIndex, ramp.StartValue, ramp.EndIndex, ramp.EndValue);
    }
}

}  // namespace

uint32_t GetBlackRef(uint32_t band)
{
    return Inquire(Banded(band, mil::BlackReference));
}

uint32_t GetWhiteRef(uint32_t band)
{
    return Inquire(Banded(band, mil::WhiteReference));
}

uint32_t GetBrightness()
{
    return Inquire(mil::Brightness);
}

uint32_t GetContrast()
{
    return Inquire(mil::Contrast);
}

uint32_t GetHue()
{
    return SourceSettings.Color == 0 ? 0 : Inquire(mil::Hue);
}

uint32_t GetSaturation()
{
    return SourceSettings.Color == 0 ? 0 : Inquire(mil::Saturation);
}

void SetBlackRef(uint32_t level, uint32_t band)
{
    Reference(Banded(band, mil::BlackReference), level);
}

void SetWhiteRef(uint32_t level, uint32_t band)
{
    Reference(Banded(band, mil::WhiteReference), level);
}

void SetBrightness(uint32_t level)
{
    Reference(mil::Brightness, level);
}

void SetContrast(uint32_t level)
{
    Reference(mil::Contrast, level);
}

void SetHue(uint32_t level)
{
    if (SourceSettings.Color != 0) {
        Reference(mil::Hue, level);
    }
}

void SetSaturation(uint32_t level)
{
    if (SourceSettings.Color != 0) {
        Reference(mil::Saturation, level);
    }
}

void SetChannel(uint32_t channel)
{
    SourceSettings.Channel = channel;
    if (MilBound()) {
        Mil.MdigChannel(MilInfo.MilDigitizer, static_cast<long>(channel + mil::ChannelOffset));
    }
}

void SetDispZoom(int32_t zoom)
{
    SourceSettings.DispZoom = zoom;
    if (MilBound()) {
        Mil.MdispZoom(MilInfo.MilDisplay, zoom, zoom);
    }
}

uint16_t ApplyInputLut(const InputLut& lut)
{
    if (!IsLutAvailable() || MilInfo.MilDigitizer == 0) {
        return 1;
    }
    const bool color = IsColor() != 0;
    MilId bands[3] = {};
    MilId table = 0;
    if (color) {
        table = Mil.MbufAllocColor(MilInfo.MilSystem, 3, 256, 1, mil::Unsigned8, mil::LutAttribute, nullptr);
        for (long band = 0; band < 3; ++band) {
            bands[band] = Mil.MbufChildColor(table, band, nullptr);
        }
    } else {
        table = Mil.MbufAlloc1d(MilInfo.MilSystem, 256, mil::Unsigned8, mil::LutAttribute, nullptr);
    }
    if (!color && lut.ActiveChannel() != LutShared) {
        DebugLog().Write("Talvenix TWAIN DS: BUG !!!!!!!!!!!t.b.d !!!!!!!!!!!!n");
    }
    if (SourceSettings.LutType == 0) {
        if (lut.ActiveChannel() == LutShared) {
            DrawCurve(table, lut.GetNodes(LutShared));
        } else if (color) {
            for (int32_t channel : {LutRed, LutGreen, LutBlue}) {
                DrawCurve(bands[channel], lut.GetNodes(channel));
            }
        } else {
            // A monochrome board's one band is band 0, fed by the red curve.
            DrawCurve(table, lut.GetNodes(LutRed));
        }
    }
    Mil.MdigLut(MilInfo.MilDigitizer, table);
    for (MilId band : bands) {
        if (band != 0) {
            Mil.MbufFree(band);
        }
    }
    if (table != 0) {
        Mil.MbufFree(table);
    }
    return 0;
}

DigitizerLevels CurrentLevels()
{
    DigitizerLevels levels = {GetBrightness(), GetContrast(), GetHue(), GetSaturation(), {}, {}};
    for (int band = 0; band < 3; ++band) {
        levels.Black[band] = GetBlackRef(Bands[band]);
        levels.White[band] = GetWhiteRef(Bands[band]);
    }
    return levels;
}

void SendLevels(const DigitizerLevels& levels)
{
    if (IsRgbDataPath() == 0) {
        if (IsColor() == 1) {
            SetSaturation(levels.Saturation);
            SetHue(levels.Hue);
        }
        SetContrast(levels.Contrast);
        SetBrightness(levels.Brightness);
        return;
    }
    const int bands = IsColor() == 1 ? 3 : 1;
    for (int band = 0; band < bands; ++band) {
        SetBlackRef(levels.Black[band], Bands[band]);
    }
    for (int band = 0; band < bands; ++band) {
        SetWhiteRef(levels.White[band], Bands[band]);
    }
}

void ApplySettings()
{
    if (MilInfo.MilDigitizer == 0) {
        return;
    }
    const SourceSettingsRecord& s = SourceSettings;
    SendLevels({s.Brightness,
                s.Contrast,
                s.Hue,
                s.Saturation,
                {s.BlackRef0, s.BlackRef1, s.BlackRef2},
                {s.WhiteRef0, s.WhiteRef1, s.WhiteRef2}});
    if (s.RgbDataPath == 1) {
        SetChannel(s.Channel);
    }
    if (s.LutAvailable == 1 && CurrentInputLut != nullptr) {
        if (s.LutHeader != 0) {
            CurrentInputLut->LoadNodes(s.LutHeader, s.LutType, s.LutNodes);
        } else {
            CurrentInputLut->SelectChannel(LutShared);
        }
        ApplyInputLut(*CurrentInputLut);
    }
}

bool ApplyLutValues(const uint8_t* value, size_t size)
{
    uint32_t header = 0;
    const uint8_t* nodes = nullptr;
    size_t nodeBytes = 0;
    if (IsLutAvailable() != 1 || CurrentInputLut == nullptr ||
        !ParseLutValues(value, size, header, nodes, nodeBytes)) {
        return false;
    }
    CurrentInputLut->SelectChannel(IsSharedLutForm(header) ? LutShared : LutRed);
    CurrentInputLut->LoadNodes(header, 0, nodes);
    ApplyInputLut(*CurrentInputLut);
    return true;
}

void ApplyDefaultReferences()
{
    if (SourceSettings.RgbDataPath != 0) {
        SetBlackRef(0, AllBands);
        SetWhiteRef(255, AllBands);
        return;
    }
    if (SourceSettings.Color == 1) {
        SetSaturation(128);
        SetHue(128);
    }
    SetContrast(128);
    SetBrightness(128);
}

uint16_t SaveCurrentSettings()
{
    DebugLog log;
    log.Write("Talvenix TWAIN DS: Saving current settings \n");
    SourceSettingsRecord& s = SourceSettings;
    if (s.RgbDataPath == 1) {
        s.WhiteRef0 = GetWhiteRef(Band0);
        s.WhiteRef1 = GetWhiteRef(Band1);
        s.WhiteRef2 = GetWhiteRef(Band2);
        s.BlackRef0 = GetBlackRef(Band0);
        s.BlackRef1 = GetBlackRef(Band1);
        s.BlackRef2 = GetBlackRef(Band2);
    } else {
        s.Brightness = GetBrightness();
        s.Contrast = GetContrast();
        s.Hue = GetHue();
        s.Saturation = GetSaturation();
    }
    return WriteSettings(SettingsKeyPath, 1);
}
