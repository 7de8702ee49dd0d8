#include "transfer/file_formats.h"

#include "twain/little_endian.h"

namespace {

constexpr uint32_t IfdOffset = 8;

uint16_t TiffEntries(uint32_t samplesPerPixel)
{
    return samplesPerPixel == 3 ? 11 : 10;
}

// Where the three BitsPerSample shorts of a colour file lie.
uint32_t TiffBitsOffset(uint32_t samplesPerPixel)
{
    return IfdOffset + 2 + TiffEntries(samplesPerPixel) * 12u + 4;
}

}  // namespace

void WriteBmpFileHeader(uint8_t* out, size_t bitmapBytes, size_t pixelOffset)
{
    out[0] = 'B';
    out[1] = 'M';
    PutU32(out + 2, static_cast<uint32_t>(BmpFileHeaderSize + bitmapBytes));
    PutU32(out + 6, 0);
    PutU32(out + 10, static_cast<uint32_t>(BmpFileHeaderSize + pixelOffset));
}

size_t TiffHeaderSize(uint32_t samplesPerPixel)
{
    return TiffBitsOffset(samplesPerPixel) + (samplesPerPixel == 3 ? 6 : 0);
}

void WriteTiffHeader(uint8_t* out, uint32_t width, uint32_t height, uint32_t samplesPerPixel)
{
    const bool rgb = samplesPerPixel == 3;
    const uint32_t bitsOffset = TiffBitsOffset(samplesPerPixel);
    const uint32_t dataOffset = static_cast<uint32_t>(TiffHeaderSize(samplesPerPixel));
    out[0] = 'I';
    out[1] = 'I';
    PutU16(out + 2, 42);
    PutU32(out + 4, IfdOffset);
    uint8_t* at = out + IfdOffset;
    PutU16(at, TiffEntries(samplesPerPixel));
    at += 2;
    auto entry = [&at](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        PutU16(at, tag);
        PutU16(at + 2, type);
        PutU32(at + 4, count);
        // A short value lies in the first two bytes of the field.
        PutU32(at + 8, value);
        at += 12;
    };
    constexpr uint16_t Short = 3, Long = 4;
    entry(256, Long, 1, width);                                // ImageWidth
    entry(257, Long, 1, height);                               // ImageLength
    entry(258, Short, samplesPerPixel, rgb ? bitsOffset : 8);  // BitsPerSample
    entry(259, Short, 1, 1);                                   // Compression: none
    entry(262, Short, 1, rgb ? 2 : 1);                         // RGB, or black is zero
    entry(273, Long, 1, dataOffset);                           // StripOffsets
    entry(277, Short, 1, samplesPerPixel);                     // SamplesPerPixel
    entry(278, Long, 1, height);                               // RowsPerStrip
    entry(279, Long, 1, width * height * samplesPerPixel);     // StripByteCounts
    if (rgb) {
        entry(284, Short, 1, 1);  // PlanarConfiguration: chunky
    }
    entry(296, Short, 1, 1);  // ResolutionUnit: none
    PutU32(at, 0);            // no further directory
    if (rgb) {
        for (int i = 0; i < 3; ++i) {
            PutU16(out + bitsOffset + 2 * i, 8);
        }
    }
}
