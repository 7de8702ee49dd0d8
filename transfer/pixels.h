// How a grabbed frame lies in memory and how the transfers turn it into what
// they deliver: the sample stream of the memory transfer and the bitmap of
// the native transfer. Pure byte work, no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>

struct FrameLayout {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t BandCount = 0;    // 1 or 3, one byte each
    uint32_t BitsPerBand = 8;
    bool FourBytePixels = false;  // each pixel takes 4 bytes, the fourth unused
    bool BgrOrder = false;        // colour bytes blue first
    bool Color = false;
};

// Bytes one pixel takes in the frame.
uint32_t FramePixelSize(const FrameLayout& layout);
// Bytes of one frame row, and of the whole frame.
size_t FrameRowBytes(const FrameLayout& layout);
size_t FrameBytes(const FrameLayout& layout);

// Bytes one row of the sample stream delivers: one byte per band and pixel.
size_t StreamRowBytes(const FrameLayout& layout);

// Writes `n` bytes of the sample stream (rows top first, colour as red,
// green, blue) to `destination`, reading the frame from byte `position`;
// answers the frame bytes consumed. `n` is a whole number of stream rows.
size_t ConvertSampleStream(const uint8_t* frame, size_t position, uint8_t* destination, size_t n,
                           const FrameLayout& layout);

// The device-independent bitmap of the native transfer: header, 256-entry
// colour table, top-down rows padded to 4 bytes.
constexpr size_t BitmapInfoHeaderSize = 40;
constexpr size_t ColorTableSize = 256 * 4;
constexpr size_t BitmapPixelOffset = BitmapInfoHeaderSize + ColorTableSize;

// Bytes per delivered pixel: 1 for grey, 4 for 4-byte colour, else the bands.
uint32_t BitmapPixelSize(const FrameLayout& layout);
size_t BitmapRowBytes(const FrameLayout& layout);
size_t BitmapBytes(const FrameLayout& layout);

// Header and colour table (grey ramp for grey images, zeros for colour).
void WriteBitmapHeader(uint8_t* block, const FrameLayout& layout);

// The frame's pixels into the bitmap rows at `rows`. A bitmap is blue first,
// so red-first colour pixels have red and blue exchanged; everything else is
// copied as it lies, in one block when the rows need no padding.
void CopyPixelBlock(const uint8_t* frame, uint8_t* rows, const FrameLayout& layout);
