// The one record of the user's settings and of what the board tells about
// its image. Everybody else goes through the accessors.
#pragma once

#include <cstdint>

#include "settings/lut_form.h"

struct SourceSettingsRecord {
    // Persisted user settings (registry value names equal the field names).
    char DigFormat[256];
    uint32_t Channel;
    int32_t DispZoom;
    uint32_t ExtWindow;
    uint32_t Preview;
    uint32_t Brightness;
    uint32_t Contrast;
    uint32_t Hue;
    uint32_t Saturation;
    uint32_t BlackRef0, BlackRef1, BlackRef2;
    uint32_t WhiteRef0, WhiteRef1, WhiteRef2;
    int32_t LutType;
    uint32_t LutHeader;
    uint8_t LutNodes[MaxLutValueBytes - 4];  // 2 bytes a node, as stored after the header

    // Board-derived values, filled by the digitizer start-up.
    char BoardName[50];
    uint8_t LutAvailable;
    uint8_t Color;
    uint8_t RgbDataPath;
    uint32_t ImageWidth;
    uint32_t ImageHeight;
    uint32_t BitsPerBand;
    uint32_t BandCount;
    uint32_t GrabberMemoryKb;
};

extern SourceSettingsRecord SourceSettings;

// Band selectors of the per-band references.
constexpr uint32_t Band0 = 0x20000000, Band1 = 0x40000000, Band2 = 0x80000000;
constexpr uint32_t AllBands = 0xEF200000;

// Levels are 0..255; a setter sends anything above, read as unsigned, as 255.
constexpr uint32_t ClampLevel(uint32_t level)
{
    return level > 255 ? 255 : level;
}

// The video adjustments live in the digitizer: getters ask it, setters send
// to it. Before the library is bound getters answer 0 and setters send
// nothing.
uint32_t GetBlackRef(uint32_t band);
uint32_t GetWhiteRef(uint32_t band);
uint32_t GetBrightness();
uint32_t GetContrast();
uint32_t GetHue();         // 0 on a monochrome board
uint32_t GetSaturation();  // 0 on a monochrome board
void SetBlackRef(uint32_t level, uint32_t band);
void SetWhiteRef(uint32_t level, uint32_t band);
void SetBrightness(uint32_t level);
void SetContrast(uint32_t level);
void SetHue(uint32_t level);         // nothing on a monochrome board
void SetSaturation(uint32_t level);  // nothing on a monochrome board

void SetChannel(uint32_t channel);
uint32_t GetChannel();
void SetDispZoom(int32_t zoom);
int32_t GetDispZoom();
uint32_t GetExtWindow();
void SetExtWindow(uint32_t flag);
// -1 answers the flag; any other value is stored and 0 answered.
uint32_t PreviewFlag(int32_t value);

// Copies DigFormat with its terminator into a buffer of at least 256 bytes.
void CopyDigFormat(char* buffer);
// Stores the format the digitizer runs (at most 255 characters).
void SetDigFormat(const char* format);
const char* GetBoardName();
uint32_t GetGrabberMemoryKb();
uint8_t IsLutAvailable();
uint8_t IsColor();
uint8_t IsRgbDataPath();
uint32_t GetImageWidth();
uint32_t GetImageHeight();
uint32_t GetBandCount();

// Sets Color and RgbDataPath from the digitizer's colour mode; a mode it
// does not know leaves both as they are.
void SetColorMode(long mode);

// Replaces the stored curve nodes (the record takes a copy); no nodes
// forgets them and clears LutHeader.
void SetLutNodes(uint32_t header, const uint8_t* nodes, uint32_t count);

// Pushes the stored settings into the digitizer (opening the source).
void ApplySettings();
// Resets the digitizer's adjustments of the current data path.
void ApplyDefaultReferences();
