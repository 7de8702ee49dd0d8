#include "settings/source_settings.h"

#include <cstring>

#include "twain/text.h"

const char* const VideoFormatNames[VideoFormatCount] = {
    "M_CCIR", "M_RS170", "M_PAL", "M_PAL_YC", "M_PAL_RGB", "M_NTSC", "M_NTSC_YC", "M_NTSC_RGB",
};

SourceSettingsRecord SourceSettings = {};

uint32_t GetChannel()
{
    return SourceSettings.Channel;
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

void SetImageFormat(uint32_t width, uint32_t height, uint32_t bitsPerBand, uint32_t bandCount)
{
    SourceSettings.ImageWidth = width;
    SourceSettings.ImageHeight = height;
    SourceSettings.BitsPerBand = bitsPerBand;
    SourceSettings.BandCount = bandCount;
}

void SetBoardName(const char* name)
{
    CopyText(SourceSettings.BoardName, sizeof SourceSettings.BoardName, name);
}

void SetLutAvailable(uint8_t available)
{
    SourceSettings.LutAvailable = available;
}

void SetGrabberMemoryKb(uint32_t kb)
{
    SourceSettings.GrabberMemoryKb = kb;
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
