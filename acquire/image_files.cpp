#include "acquire/image_files.h"

#include <cstdio>
#include <cstring>

#include "transfer/pixels.h"
#include "twain/little_endian.h"

namespace {

// The headers of the files written here: a BMP file is a 14-byte file
// header followed by a packed bitmap; a TIFF is a little-endian baseline
// file with one uncompressed strip of 8-bit samples (grey or chunky
// red-green-blue) after its header, carrying the image's resolution.
constexpr size_t BmpFileHeaderSize = 14;
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

// "BM", the file size, and where the rows begin (`pixelOffset` bytes into
// the `bitmapBytes` of the bitmap that follows).
void WriteBmpFileHeader(uint8_t* out, size_t bitmapBytes, size_t pixelOffset)
{
    out[0] = 'B';
    out[1] = 'M';
    PutU32(out + 2, static_cast<uint32_t>(BmpFileHeaderSize + bitmapBytes));
    PutU32(out + 6, 0);
    PutU32(out + 10, static_cast<uint32_t>(BmpFileHeaderSize + pixelOffset));
}

// Bytes of the TIFF header and directory for 1 or 3 samples; the strip
// follows at this offset.
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

}  // namespace

std::vector<uint8_t> BmpFile(const uint8_t* packedBitmap, size_t size)
{
    const uint32_t headerSize = GetU32(packedBitmap);
    const uint32_t colours = GetU32(packedBitmap + 32);
    std::vector<uint8_t> file(BmpFileHeaderSize + size);
    WriteBmpFileHeader(file.data(), size, headerSize + colours * 4);
    std::memcpy(file.data() + BmpFileHeaderSize, packedBitmap, size);
    return file;
}

std::vector<uint8_t> BitmapFromRows(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                                    const std::vector<uint8_t>& rows)
{
    const uint32_t stride = (width * samplesPerPixel + 3) & ~3u;
    const uint32_t colours = samplesPerPixel == 1 ? 256 : 0;
    const uint32_t offset = 40 + colours * 4;
    std::vector<uint8_t> dib(offset + static_cast<size_t>(stride) * height, 0);
    PutU32(&dib[0], 40);
    PutU32(&dib[4], width);
    PutU32(&dib[8], height);  // bottom-up
    PutU16(&dib[12], 1);
    PutU16(&dib[14], samplesPerPixel * 8);
    PutU32(&dib[20], stride * height);
    PutU32(&dib[32], colours);
    for (uint32_t i = 0; i < colours; ++i) {
        dib[40 + 4 * i] = dib[41 + 4 * i] = dib[42 + 4 * i] = static_cast<uint8_t>(i);
    }
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* in = rows.data() + static_cast<size_t>(y) * width * samplesPerPixel;
        uint8_t* out = dib.data() + offset + static_cast<size_t>(height - 1 - y) * stride;
        for (uint32_t x = 0; x < width; ++x) {
            for (uint32_t c = 0; c < samplesPerPixel; ++c) {
                out[x * samplesPerPixel + c] = in[x * samplesPerPixel + samplesPerPixel - 1 - c];
            }
        }
    }
    return dib;
}

std::vector<uint8_t> TiffFile(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                              const std::vector<uint8_t>& rows)
{
    std::vector<uint8_t> file(TiffHeaderSize(samplesPerPixel));
    WriteTiffHeader(file.data(), width, height, samplesPerPixel);
    file.insert(file.end(), rows.begin(), rows.end());
    return file;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    uint8_t chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    std::fclose(file);
    return true;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}
