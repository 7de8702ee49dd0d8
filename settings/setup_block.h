// The user's whole setup as one block of bytes, the contents of
// DAT_CUSTOMDSDATA: an application saves it and hands it back in a later
// session, to either source (32- or 64-bit, the bytes are the same).
// Little-endian, fixed length:
//
//   0  "TVSU", then the version (16 bits) and the block's length (32 bits)
//  10  the video format's name, 32 bytes, zero-padded
//  42  channel, brightness, contrast, hue, saturation, black references of
//      bands 0 to 2, white references of bands 0 to 2 (32 bits each)
//  86  pixel type (16 bits)
//  88  the frame the region lies in: width, height (32 bits each)
//  96  the region: left, top, width, height (32 bits each; width 0: the
//      whole frame)
// 112  bytes of the look-up table curves (32 bits; 0: none), then the curves
//      in their stored form ("LutValues"), zero-padded to MaxLutValueBytes
// 1650 CRC-32 of every byte before it
//
// Pure byte work, no platform calls: a block is read completely and every
// value checked before anything of it is used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/lut_form.h"

struct SetupRecord {
    char Format[32] = {};  // zero-terminated
    uint32_t Channel = 0;
    uint32_t Brightness = 0;
    uint32_t Contrast = 0;
    uint32_t Hue = 0;
    uint32_t Saturation = 0;
    uint32_t BlackRef[3] = {};
    uint32_t WhiteRef[3] = {};
    uint16_t PixelType = 0;
    uint32_t FrameWidth = 0;
    uint32_t FrameHeight = 0;
    uint32_t RegionLeft = 0;
    uint32_t RegionTop = 0;
    uint32_t RegionWidth = 0;
    uint32_t RegionHeight = 0;
    uint32_t LutBytes = 0;
    uint8_t Lut[MaxLutValueBytes] = {};
};

constexpr uint16_t SetupBlockVersion = 1;
constexpr size_t SetupBlockBytes = 112 + 4 + MaxLutValueBytes + 4;

// The video formats a setup may name: those the settings dialog offers.
bool IsSetupFormat(const char* name);

// The record into `out` (SetupBlockBytes), checksum included.
void WriteSetupBlock(const SetupRecord& record, uint8_t* out);

// Reads a block of `size` bytes into `record`; false, with `record`
// untouched, for a wrong length, tag, version or checksum, or a value out of
// range: an unknown format, a channel that is not one selector bit, a level
// above 255, a pixel type other than grey or RGB, a region not within its
// frame, curves that are not a stored "LutValues".
bool ReadSetupBlock(const uint8_t* data, size_t size, SetupRecord& record);

// CRC-32 (the polynomial of zip and PNG) of `size` bytes.
uint32_t SetupChecksum(const uint8_t* data, size_t size);
