// The one record of the user's settings and of what the board tells about
// its image. Everybody else goes through the accessors.
#pragma once

#include <cstdint>

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
    uint8_t* LutNodes;  // 2 bytes a node, as stored after the header; owned

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

uint32_t GetImageWidth();
uint32_t GetImageHeight();
uint32_t GetBandCount();
