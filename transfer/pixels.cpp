#include "transfer/pixels.h"

#include <cstring>

#include "transfer/pixels_simd.h"
#include "twain/little_endian.h"

namespace {

// `pixels` frame pixels from `source` as delivered samples at `destination`;
// colour comes out blue first for a bitmap, red first for the stream.
void ConvertPixels(const uint8_t* source, uint8_t* destination, size_t pixels, const FrameLayout& layout,
                   bool blueFirst)
{
    const uint32_t pixelSize = FramePixelSize(layout);
    // Red is at byte 2 of a blue-first pixel, at byte 0 otherwise.
    const size_t red = layout.BgrOrder ? 2 : 0;
    const size_t blue = 2 - red;
    if (DeliveredSamples(layout) == 1) {
        if (layout.BandCount == 3) {
            for (size_t i = 0; i < pixels; ++i, source += pixelSize) {
                destination[i] = Luma(source[red], source[1], source[blue]);
            }
        } else if (pixelSize == 1) {
            std::memcpy(destination, source, pixels);
        } else {
            // A 4-byte grey pixel delivers its first byte.
            for (size_t i = 0; i < pixels; ++i) {
                destination[i] = source[i * pixelSize];
            }
        }
        return;
    }
    if (layout.BandCount == 1) {
        for (size_t i = 0; i < pixels; ++i, destination += 3) {
            std::memset(destination, source[i * pixelSize], 3);
        }
        return;
    }
    const bool reverse = layout.BgrOrder != blueFirst;
    size_t done = 0;
    if (pixelSize == 4) {
        done = ShuffleFourToThree(source, destination, pixels, reverse);
    } else if (reverse) {
        done = ShuffleSwapThree(source, destination, pixels);
    } else {
        std::memcpy(destination, source, pixels * 3);
        return;
    }
    const size_t first = reverse ? 2 : 0;
    source += done * pixelSize;
    destination += done * 3;
    for (size_t i = done; i < pixels; ++i) {
        destination[0] = source[first];
        destination[1] = source[1];
        destination[2] = source[2 - first];
        destination += 3;
        source += pixelSize;
    }
}

constexpr size_t TableEntries = 256;

bool LegacyColour(const FrameLayout& layout)
{
    return layout.Color;
}

// Bytes per legacy bitmap pixel: 1 for grey, 4 for 4-byte colour, else the bands.
uint32_t LegacyPixelSize(const FrameLayout& layout)
{
    if (!LegacyColour(layout)) {
        return 1;
    }
    return layout.FourBytePixels ? 4 : layout.BandCount;
}

uint32_t BitmapPixelSize(const FrameLayout& layout, BitmapStyle style)
{
    return style == BitmapStyle::Legacy ? LegacyPixelSize(layout) : DeliveredSamples(layout);
}

size_t TableBytes(const FrameLayout& layout, BitmapStyle style)
{
    return style == BitmapStyle::Legacy || DeliveredSamples(layout) == 1 ? TableEntries * 4 : 0;
}

// `frame` points at the region's first pixel.
void WriteLegacyRows(const uint8_t* frame, uint8_t* rows, const FrameLayout& layout)
{
    const uint32_t pixelSize = LegacyPixelSize(layout);
    const size_t frameRow = FrameRowBytes(layout);
    const size_t used = static_cast<size_t>(layout.Width) * pixelSize;
    const size_t bitmapRow = BitmapRowBytes(layout, BitmapStyle::Legacy);
    const uint32_t framePixel = FramePixelSize(layout);
    const bool swapRedBlue = layout.Color && pixelSize >= 3 && !layout.BgrOrder;
    if (!swapRedBlue && used == bitmapRow && used == frameRow) {
        std::memcpy(rows, frame, used * layout.Height);
        return;
    }
    for (uint32_t y = 0; y < layout.Height; ++y) {
        const uint8_t* source = frame + y * frameRow;
        uint8_t* target = rows + y * bitmapRow;
        if (swapRedBlue) {
            const uint32_t done = static_cast<uint32_t>(pixelSize == 4 ? ShuffleSwapFour(source, target, layout.Width)
                                                                      : ShuffleSwapThree(source, target, layout.Width));
            for (uint32_t x = done; x < layout.Width; ++x) {
                const uint8_t* pixel = source + static_cast<size_t>(x) * pixelSize;
                uint8_t* out = target + static_cast<size_t>(x) * pixelSize;
                out[0] = pixel[2];
                out[1] = pixel[1];
                out[2] = pixel[0];
                if (pixelSize == 4) {
                    out[3] = pixel[3];
                }
            }
        } else if (framePixel != pixelSize) {
            // A grey picture from a colour buffer: the first band of each pixel.
            for (uint32_t x = 0; x < layout.Width; ++x) {
                target[x] = source[static_cast<size_t>(x) * framePixel];
            }
        } else {
            std::memcpy(target, source, used);
        }
        std::memset(target + used, 0, bitmapRow - used);
    }
}

}  // namespace

uint32_t FramePixelSize(const FrameLayout& layout)
{
    return layout.FourBytePixels ? 4 : layout.BandCount;
}

uint32_t FrameColumns(const FrameLayout& layout)
{
    return layout.FrameWidth != 0 ? layout.FrameWidth : layout.Width;
}

uint32_t FrameRows(const FrameLayout& layout)
{
    return layout.FrameHeight != 0 ? layout.FrameHeight : layout.Height;
}

bool WholeFrame(const FrameLayout& layout)
{
    return layout.Width == FrameColumns(layout) && layout.Height == FrameRows(layout);
}

size_t FrameRowBytes(const FrameLayout& layout)
{
    return static_cast<size_t>(FrameColumns(layout)) * FramePixelSize(layout);
}

size_t FrameBytes(const FrameLayout& layout)
{
    return FrameRowBytes(layout) * FrameRows(layout);
}

size_t RegionOffset(const FrameLayout& layout)
{
    return layout.Top * FrameRowBytes(layout) + static_cast<size_t>(layout.Left) * FramePixelSize(layout);
}

uint32_t DeliveredSamples(const FrameLayout& layout)
{
    return layout.Samples != 0 ? layout.Samples : layout.BandCount;
}

size_t StreamRowBytes(const FrameLayout& layout)
{
    return static_cast<size_t>(layout.Width) * DeliveredSamples(layout);
}

void ConvertSampleStream(const uint8_t* frame, uint32_t firstRow, uint8_t* destination, size_t n,
                         const FrameLayout& layout)
{
    const size_t frameRow = FrameRowBytes(layout);
    const uint8_t* source = frame + RegionOffset(layout) + firstRow * frameRow;
    // Rows as wide as the frame's lie end to end: one pass over all of them.
    if (layout.Width == FrameColumns(layout)) {
        ConvertPixels(source, destination, n / DeliveredSamples(layout), layout, false);
        return;
    }
    const size_t row = StreamRowBytes(layout);
    for (size_t done = 0; done < n; done += row, source += frameRow) {
        ConvertPixels(source, destination + done, layout.Width, layout, false);
    }
}

size_t BitmapRowBytes(const FrameLayout& layout, BitmapStyle style)
{
    return (static_cast<size_t>(layout.Width) * BitmapPixelSize(layout, style) + 3) & ~static_cast<size_t>(3);
}

size_t BitmapPixelOffset(const FrameLayout& layout, BitmapStyle style)
{
    return BitmapInfoHeaderSize + TableBytes(layout, style);
}

size_t BitmapBytes(const FrameLayout& layout, BitmapStyle style)
{
    return BitmapPixelOffset(layout, style) + BitmapRowBytes(layout, style) * layout.Height;
}

void WriteBitmap(const uint8_t* frame, uint8_t* block, const FrameLayout& layout, BitmapStyle style)
{
    const bool legacy = style == BitmapStyle::Legacy;
    const size_t offset = BitmapPixelOffset(layout, style);
    const size_t row = BitmapRowBytes(layout, style);
    const uint32_t tableEntries = static_cast<uint32_t>(TableBytes(layout, style) / 4);
    std::memset(block, 0, offset);
    PutU32(block + 0, BitmapInfoHeaderSize);                              // biSize
    PutU32(block + 4, layout.Width);                                      // biWidth
    PutU32(block + 8, legacy ? 0u - layout.Height : layout.Height);       // biHeight: top-down when negative
    PutU16(block + 12, 1);                                                // biPlanes
    PutU16(block + 14, layout.BitsPerBand * BitmapPixelSize(layout, style));  // biBitCount
    PutU32(block + 20, legacy ? 0 : static_cast<uint32_t>(row * layout.Height));  // biSizeImage
    PutU32(block + 24, ImagePixelsPerMetre);                              // biXPelsPerMeter
    PutU32(block + 28, ImagePixelsPerMetre);                              // biYPelsPerMeter
    PutU32(block + 32, tableEntries);                                     // biClrUsed
    PutU32(block + 36, tableEntries);                                     // biClrImportant
    // The grey ramp a word an entry: a call a byte costs as much as the
    // rows of a small image.
    uint8_t* table = block + BitmapInfoHeaderSize;
    if (legacy && !LegacyColour(layout)) {
        for (uint32_t i = 0; i < TableEntries; ++i) {
            PutU32(table + 4 * i, i * 0x01010101u);
        }
    } else if (!legacy && tableEntries != 0) {
        for (uint32_t i = 0; i < TableEntries; ++i) {
            PutU32(table + 4 * i, i * 0x010101u);
        }
    }
    uint8_t* rows = block + offset;
    frame += RegionOffset(layout);
    if (legacy) {
        WriteLegacyRows(frame, rows, layout);
        return;
    }
    const size_t frameRow = FrameRowBytes(layout);
    const size_t used = static_cast<size_t>(layout.Width) * DeliveredSamples(layout);
    // Rows of whole words (most widths) have no padding to clear.
    const size_t padding = row - used;
    for (uint32_t y = 0; y < layout.Height; ++y) {
        // The bottom row comes first.
        uint8_t* target = rows + (layout.Height - 1 - y) * row;
        ConvertPixels(frame + y * frameRow, target, layout.Width, layout, true);
        if (padding != 0) {
            std::memset(target + used, 0, padding);
        }
    }
}
