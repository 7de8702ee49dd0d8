#include "settings/source_settings.h"

#include <cstring>

#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "settings/input_lut.h"
#include "twain/text.h"

SourceSettingsRecord SourceSettings = {};

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

uint32_t GetChannel()
{
    return SourceSettings.Channel;
}

void SetDispZoom(int32_t zoom)
{
    SourceSettings.DispZoom = zoom;
    if (MilBound()) {
        Mil.MdispZoom(MilInfo.MilDisplay, zoom, zoom);
    }
}

int32_t GetDispZoom()
{
    return SourceSettings.DispZoom;
}

uint32_t GetExtWindow()
{
    return SourceSettings.ExtWindow;
}

void SetExtWindow(uint32_t flag)
{
    SourceSettings.ExtWindow = flag;
}

uint32_t PreviewFlag(int32_t value)
{
    if (value == -1) {
        return SourceSettings.Preview;
    }
    SourceSettings.Preview = static_cast<uint32_t>(value);
    return 0;
}

void CopyDigFormat(char* buffer)
{
    std::memcpy(buffer, SourceSettings.DigFormat, sizeof SourceSettings.DigFormat);
}

void SetDigFormat(const char* format)
{
    CopyText(SourceSettings.DigFormat, sizeof SourceSettings.DigFormat, format);
}

const char* GetBoardName()
{
    return SourceSettings.BoardName;
}

uint32_t GetGrabberMemoryKb()
{
    return SourceSettings.GrabberMemoryKb;
}

uint8_t IsLutAvailable()
{
    return SourceSettings.LutAvailable;
}

uint8_t IsColor()
{
    return SourceSettings.Color;
}

uint8_t IsRgbDataPath()
{
    return SourceSettings.RgbDataPath;
}

uint32_t GetImageWidth()
{
    return SourceSettings.ImageWidth;
}

uint32_t GetImageHeight()
{
    return SourceSettings.ImageHeight;
}

uint32_t GetBandCount()
{
    return SourceSettings.BandCount;
}

void SetColorMode(long mode)
{
    switch (mode) {
    case 0:
        SourceSettings.Color = 0;
        SourceSettings.RgbDataPath = 0;
        break;
    case 1:
    case 4137:
        SourceSettings.Color = 1;
        SourceSettings.RgbDataPath = 0;
        break;
    case 8:
        SourceSettings.Color = 1;
        SourceSettings.RgbDataPath = 1;
        break;
    case 1024:
        SourceSettings.Color = 0;
        SourceSettings.RgbDataPath = 1;
        break;
    default:
        break;
    }
}

void SetLutNodes(uint32_t header, const uint8_t* nodes, uint32_t count)
{
    // More than three full curves were not written by the source.
    const size_t bytes = 2 * size_t{count};
    if (bytes > sizeof SourceSettings.LutNodes) {
        SourceSettings.LutHeader = 0;
        return;
    }
    if (bytes != 0) {
        std::memcpy(SourceSettings.LutNodes, nodes, bytes);
    }
    // A header announcing no nodes still counts as loaded curves.
    SourceSettings.LutHeader = header;
}

void ApplySettings()
{
    if (MilInfo.MilDigitizer == 0) {
        return;
    }
    const SourceSettingsRecord& s = SourceSettings;
    if (s.RgbDataPath == 0) {
        if (s.Color == 1) {
            SetSaturation(s.Saturation);
            SetHue(s.Hue);
        }
        SetContrast(s.Contrast);
        SetBrightness(s.Brightness);
    } else if (s.Color == 1) {
        SetBlackRef(s.BlackRef0, Band0);
        SetBlackRef(s.BlackRef1, Band1);
        SetBlackRef(s.BlackRef2, Band2);
        SetWhiteRef(s.WhiteRef0, Band0);
        SetWhiteRef(s.WhiteRef1, Band1);
        SetWhiteRef(s.WhiteRef2, Band2);
    } else {
        SetBlackRef(s.BlackRef0, Band0);
        SetWhiteRef(s.WhiteRef0, Band0);
    }
    if (s.RgbDataPath == 1) {
        SetChannel(s.Channel);
    }
    if (s.LutAvailable == 1 && CurrentInputLut != nullptr) {
        if (s.LutHeader != 0) {
            CurrentInputLut->LoadNodes(s.LutHeader, s.LutType, s.LutNodes);
        } else {
            CurrentInputLut->SelectChannel(LutShared);
        }
        CurrentInputLut->ApplyLut();
    }
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
