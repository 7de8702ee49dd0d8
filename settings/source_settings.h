// The one record of the user's settings and of what the board tells about
// its image. Everybody else goes through the accessors; what reaches the
// digitizer goes through the board's video adjustments.
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
constexpr uint32_t Bands[3] = {Band0, Band1, Band2};
constexpr uint32_t AllBands = 0xEF200000;

uint32_t GetChannel();
int32_t GetDispZoom();
uint32_t GetExtWindow();
void SetExtWindow(uint32_t flag);
// -1 answers the flag; any other value is stored and 0 answered.
uint32_t PreviewFlag(int32_t value);

// The format names the dialog offers: the two monochrome norms, and each
// colour norm with its composite (no suffix), Y/C and RGB input.
constexpr int VideoFormatCount = 8;
extern const char* const VideoFormatNames[VideoFormatCount];

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

// What the board's start-up learns of the digitizer and the board.
void SetImageFormat(uint32_t width, uint32_t height, uint32_t bitsPerBand, uint32_t bandCount);
void SetBoardName(const char* name);  // cut to 49 characters
void SetLutAvailable(uint8_t available);
void SetGrabberMemoryKb(uint32_t kb);

// Sets Color and RgbDataPath from the digitizer's colour mode; a mode it
// does not know leaves both as they are.
void SetColorMode(long mode);

// Replaces the stored curve nodes (the record takes a copy); no nodes
// forgets them and clears LutHeader.
void SetLutNodes(uint32_t header, const uint8_t* nodes, uint32_t count);
