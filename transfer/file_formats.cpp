#include "transfer/file_formats.h"

#include "transfer/pixels.h"
#include "twain/little_endian.h"

namespace {

constexpr uint32_t IfdOffset = 8;
constexpr uint16_t XResolutionTag = 282, YResolutionTag = 283, ResolutionUnitTag = 296;
constexpr uint16_t Short = 3, Long = 4, Rational = 5;
constexpr uint16_t Inch = 2;

uint16_t TiffEntries(uint32_t samplesPerPixel)
{
    return samplesPerPixel == 3 ? 13 : 12;
}

// Where the three BitsPerSample shorts of a colour file lie.
uint32_t TiffBitsOffset(uint32_t samplesPerPixel)
{
    return IfdOffset + 2 + TiffEntries(samplesPerPixel) * 12u + 4;
}

// Where the two resolution rationals lie, after the colour bits.
uint32_t TiffResolutionOffset(uint32_t samplesPerPixel)
{
    return TiffBitsOffset(samplesPerPixel) + (samplesPerPixel == 3 ? 6 : 0);
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
    return TiffResolutionOffset(samplesPerPixel) + 16;
}

void WriteTiffHeader(uint8_t* out, uint32_t width, uint32_t height, uint32_t samplesPerPixel)
{
    const bool rgb = samplesPerPixel == 3;
    const uint32_t bitsOffset = TiffBitsOffset(samplesPerPixel);
    const uint32_t dataOffset = static_cast<uint32_t>(TiffHeaderSize(samplesPerPixel));
    const uint32_t resolutionOffset = TiffResolutionOffset(samplesPerPixel);
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
    entry(256, Long, 1, width);                                // ImageWidth
    entry(257, Long, 1, height);                               // ImageLength
    entry(258, Short, samplesPerPixel, rgb ? bitsOffset : 8);  // BitsPerSample
    entry(259, Short, 1, 1);                                   // Compression: none
    entry(262, Short, 1, rgb ? 2 : 1);                         // RGB, or black is zero
    entry(273, Long, 1, dataOffset);                           // StripOffsets
    entry(277, Short, 1, samplesPerPixel);                     // SamplesPerPixel
    entry(278, Long, 1, height);                               // RowsPerStrip
    entry(279, Long, 1, width * height * samplesPerPixel);     // StripByteCounts
    entry(XResolutionTag, Rational, 1, resolutionOffset);
    entry(YResolutionTag, Rational, 1, resolutionOffset + 8);
    if (rgb) {
        entry(284, Short, 1, 1);  // PlanarConfiguration: chunky
    }
    entry(ResolutionUnitTag, Short, 1, Inch);
    PutU32(at, 0);  // no further directory
    if (rgb) {
        for (int i = 0; i < 3; ++i) {
            PutU16(out + bitsOffset + 2 * i, 8);
        }
    }
    for (uint32_t rational = resolutionOffset; rational < resolutionOffset + 16; rational += 8) {
        PutU32(out + rational, ImageDotsPerInch);
        PutU32(out + rational + 4, 1);
    }
}

size_t SetTiffResolution(uint8_t* file, size_t size)
{
    if (size < 8 || file[0] != 'I' || file[1] != 'I' || GetU16(file + 2) != 42) {
        return 0;
    }
    const uint32_t ifd = GetU32(file + 4);
    if (ifd > size || size - ifd < 2) {
        return 0;
    }
    const uint32_t entries = GetU16(file + ifd);
    if ((size - ifd - 2) / 12 < entries) {
        return 0;
    }
    // Found first, written after: a file with one rational but not the
    // other keeps what it says.
    uint8_t* rationals[2] = {nullptr, nullptr};
    uint8_t* unit = nullptr;
    for (uint32_t i = 0; i < entries; ++i) {
        uint8_t* entry = file + ifd + 2 + 12 * i;
        const uint16_t tag = GetU16(entry);
        const uint16_t type = GetU16(entry + 2);
        const uint32_t count = GetU32(entry + 4);
        const uint32_t offset = GetU32(entry + 8);
        if ((tag == XResolutionTag || tag == YResolutionTag) && type == Rational && count == 1 && offset <= size &&
            size - offset >= 8) {
            rationals[tag - XResolutionTag] = file + offset;
        } else if (tag == ResolutionUnitTag && type == Short && count == 1) {
            unit = entry + 8;
        }
    }
    if (rationals[0] == nullptr || rationals[1] == nullptr) {
        return 0;
    }
    uint8_t* end = file;
    for (uint8_t* rational : rationals) {
        PutU32(rational, ImageDotsPerInch);
        PutU32(rational + 4, 1);
        end = rational + 8 > end ? rational + 8 : end;
    }
    // Without a unit a reader takes inches.
    if (unit != nullptr) {
        PutU16(unit, Inch);
        end = unit + 2 > end ? unit + 2 : end;
    }
    return static_cast<size_t>(end - file);
}
