// How a grabbed frame lies in memory and how the transfers turn it into what
// they deliver: the sample stream of the memory transfer and the bitmap of
// the native transfer. Pure byte work, no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grabber/frame_layout.h"

// Bytes one pixel takes in the frame.
uint32_t FramePixelSize(const FrameLayout& layout);
// The frame's own size in pixels, whatever part of it is delivered.
uint32_t FrameColumns(const FrameLayout& layout);
uint32_t FrameRows(const FrameLayout& layout);
// Whether the image delivered is the whole frame.
bool WholeFrame(const FrameLayout& layout);
// Bytes of one frame row, and of the whole frame.
size_t FrameRowBytes(const FrameLayout& layout);
size_t FrameBytes(const FrameLayout& layout);
// Where the first pixel delivered lies in the frame.
size_t RegionOffset(const FrameLayout& layout);

// Samples of one delivered pixel (1 or 3).
uint32_t DeliveredSamples(const FrameLayout& layout);

// Grey of a colour pixel: 0.299 R + 0.587 G + 0.114 B, rounded.
inline uint8_t Luma(uint32_t red, uint32_t green, uint32_t blue)
{
    return static_cast<uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

// Bytes one row of the sample stream delivers: one byte per delivered sample.
size_t StreamRowBytes(const FrameLayout& layout);

// Writes `n` bytes of the sample stream (rows top first, colour as red,
// green, blue) to `destination`, from the delivered image's row `firstRow`
// on. `n` is a whole number of stream rows.
void ConvertSampleStream(const uint8_t* frame, uint32_t firstRow, uint8_t* destination, size_t n,
                         const FrameLayout& layout);

// The resolution every image carries, as ICAP_XRESOLUTION and
// ICAP_YRESOLUTION announce it: 300 dots per inch, 11811 pixels per metre.
constexpr uint32_t ImageDotsPerInch = 300;
constexpr uint32_t ImagePixelsPerMetre = 11811;

// The device-independent bitmap of the native transfer and of BMP files.
//
// Standard: the form every reader takes. Header (40 bytes), then for grey a
// 256-entry grey ramp (blue, green, red, 0), then the rows bottom-up, each
// padded to 4 bytes: 8 bits a grey pixel, 24 bits a colour one (blue, green,
// red). biHeight positive, biSizeImage the rows' bytes, biBitCount the
// delivered samples times 8. Both styles carry the image's resolution.
//
// Legacy: the layout applications written against the first releases read.
// Header, a 256-entry table always (a ramp with the index in all four bytes
// for grey boards, zeros for colour), top-down rows (biHeight negative) of
// the frame's own pixel size (4-byte pixels keep their fourth byte),
// biSizeImage 0. It ignores `Samples`.
enum class BitmapStyle { Standard, Legacy };

constexpr size_t BitmapInfoHeaderSize = 40;

size_t BitmapRowBytes(const FrameLayout& layout, BitmapStyle style);
// Where the rows begin, and the whole block.
size_t BitmapPixelOffset(const FrameLayout& layout, BitmapStyle style);
size_t BitmapBytes(const FrameLayout& layout, BitmapStyle style);

// Header, colour table and rows of the frame into `block` (BitmapBytes long).
void WriteBitmap(const uint8_t* frame, uint8_t* block, const FrameLayout& layout, BitmapStyle style);
