#include "tiff.h"

#include <cstring>

namespace orionsim {

namespace {

enum : uint16_t { kShort = 3, kLong = 4, kRational = 5 };

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<uint8_t> EncodeTiff(int width, int height, int samplesPerPixel, const uint8_t* samples) {
    if (width <= 0 || height <= 0 || (samplesPerPixel != 1 && samplesPerPixel != 3) || !samples) return {};
    const uint64_t imageBytes = static_cast<uint64_t>(width) * height * samplesPerPixel;
    if (imageBytes > 0x7FFF0000u) return {};

    // Layout: header (8), IFD, then the out-of-line values, then the pixels.
    constexpr int kEntries = 12;
    const size_t ifdAt = 8;
    const size_t ifdSize = 2 + kEntries * 12 + 4;
    const size_t bitsAt = ifdAt + ifdSize;              // 3 shorts (RGB only)
    const size_t xResAt = bitsAt + 8;                   // 2 longs
    const size_t yResAt = xResAt + 8;
    const size_t dataAt = yResAt + 8;

    std::vector<uint8_t> out(dataAt + imageBytes, 0);
    out[0] = 'I', out[1] = 'I';
    Put16(out, 2, 42);
    Put32(out, 4, static_cast<uint32_t>(ifdAt));

    Put16(out, ifdAt, kEntries);
    size_t e = ifdAt + 2;
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        Put16(out, e, tag);
        Put16(out, e + 2, type);
        Put32(out, e + 4, count);
        if (type == kShort && count == 1) Put16(out, e + 8, value);
        else Put32(out, e + 8, value);
        e += 12;
    };
    const bool rgb = samplesPerPixel == 3;
    entry(256, kLong, 1, static_cast<uint32_t>(width));           // ImageWidth
    entry(257, kLong, 1, static_cast<uint32_t>(height));          // ImageLength
    if (rgb) entry(258, kShort, 3, static_cast<uint32_t>(bitsAt));  // BitsPerSample
    else entry(258, kShort, 1, 8);
    entry(259, kShort, 1, 1);                                     // Compression: none
    entry(262, kShort, 1, rgb ? 2 : 1);                           // Photometric: RGB / BlackIsZero
    entry(273, kLong, 1, static_cast<uint32_t>(dataAt));          // StripOffsets
    entry(277, kShort, 1, static_cast<uint32_t>(samplesPerPixel));  // SamplesPerPixel
    entry(278, kLong, 1, static_cast<uint32_t>(height));          // RowsPerStrip
    entry(279, kLong, 1, static_cast<uint32_t>(imageBytes));      // StripByteCounts
    entry(282, kRational, 1, static_cast<uint32_t>(xResAt));      // XResolution
    entry(283, kRational, 1, static_cast<uint32_t>(yResAt));      // YResolution
    entry(296, kShort, 1, 2);                                     // ResolutionUnit: inch
    Put32(out, e, 0);                                             // no next IFD

    for (int i = 0; i < 3; ++i) Put16(out, bitsAt + 2 * i, 8);
    Put32(out, xResAt, 72), Put32(out, xResAt + 4, 1);
    Put32(out, yResAt, 72), Put32(out, yResAt + 4, 1);
    std::memcpy(out.data() + dataAt, samples, imageBytes);
    return out;
}

}  // namespace orionsim
