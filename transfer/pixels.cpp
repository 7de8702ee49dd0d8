#include "transfer/pixels.h"

#include <cstring>

#include "transfer/pixels_simd.h"
#include "twain/little_endian.h"

uint32_t FramePixelSize(const FrameLayout& layout)
{
    return layout.FourBytePixels ? 4 : layout.BandCount;
}

size_t FrameRowBytes(const FrameLayout& layout)
{
    return static_cast<size_t>(layout.Width) * FramePixelSize(layout);
}

size_t FrameBytes(const FrameLayout& layout)
{
    return FrameRowBytes(layout) * layout.Height;
}

size_t StreamRowBytes(const FrameLayout& layout)
{
    return static_cast<size_t>(layout.Width) * layout.BandCount;
}

size_t ConvertSampleStream(const uint8_t* frame, size_t position, uint8_t* destination, size_t n,
                           const FrameLayout& layout)
{
    const uint8_t* source = frame + position;
    const uint32_t pixelSize = FramePixelSize(layout);
    if (layout.BandCount == 3 && (pixelSize == 4 || layout.BgrOrder)) {
        const size_t pixels = n / 3;
        const size_t done = pixelSize == 4 ? ShuffleFourToThree(source, destination, pixels, layout.BgrOrder)
                                           : ShuffleSwapThree(source, destination, pixels);
        // Red is at byte 2 of a blue-first pixel, at byte 0 otherwise.
        const size_t red = layout.BgrOrder ? 2 : 0;
        const size_t blue = 2 - red;
        source += done * pixelSize;
        destination += done * 3;
        for (size_t i = done; i < pixels; ++i) {
            destination[0] = source[red];
            destination[1] = source[1];
            destination[2] = source[blue];
            destination += 3;
            source += pixelSize;
        }
        return pixels * pixelSize;
    }
    if (layout.BandCount == 1 && pixelSize == 4) {
        // A 4-byte grey pixel delivers its first byte.
        for (size_t i = 0; i < n; ++i) {
            destination[i] = source[4 * i];
        }
        return n * 4;
    }
    std::memcpy(destination, source, n);
    return n;
}

uint32_t BitmapPixelSize(const FrameLayout& layout)
{
    if (!layout.Color) {
        return 1;
    }
    return layout.FourBytePixels ? 4 : layout.BandCount;
}

size_t BitmapRowBytes(const FrameLayout& layout)
{
    return (static_cast<size_t>(layout.Width) * BitmapPixelSize(layout) + 3) & ~static_cast<size_t>(3);
}

size_t BitmapBytes(const FrameLayout& layout)
{
    return BitmapPixelOffset + BitmapRowBytes(layout) * layout.Height;
}

void WriteBitmapHeader(uint8_t* block, const FrameLayout& layout)
{
    std::memset(block, 0, BitmapPixelOffset);
    PutU32(block + 0, BitmapInfoHeaderSize);                       // biSize
    PutU32(block + 4, layout.Width);                               // biWidth
    PutU32(block + 8, 0u - layout.Height);                         // biHeight: negative, top-down
    PutU16(block + 12, 1);                                         // biPlanes
    PutU16(block + 14, layout.BitsPerBand * BitmapPixelSize(layout));  // biBitCount
    PutU32(block + 32, 256);                                       // biClrUsed
    PutU32(block + 36, 256);                                       // biClrImportant
    if (!layout.Color) {
        uint8_t* table = block + BitmapInfoHeaderSize;
        for (int i = 0; i < 256; ++i) {
            std::memset(table + 4 * i, i, 4);
        }
    }
}

void CopyPixelBlock(const uint8_t* frame, uint8_t* rows, const FrameLayout& layout)
{
    const uint32_t pixelSize = BitmapPixelSize(layout);
    const size_t frameRow = FrameRowBytes(layout);
    const size_t used = static_cast<size_t>(layout.Width) * pixelSize;
    const size_t bitmapRow = BitmapRowBytes(layout);
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
