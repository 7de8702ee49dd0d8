#include "acquire/image_files.h"

#include <cstdio>

#include "transfer/file_formats.h"
#include "twain/little_endian.h"

std::vector<uint8_t> BmpFile(const uint8_t* packedBitmap, size_t size)
{
    const uint32_t headerSize = GetU32(packedBitmap);
    const uint32_t colours = GetU32(packedBitmap + 32);
    std::vector<uint8_t> file(BmpFileHeaderSize);
    WriteBmpFileHeader(file.data(), size, headerSize + colours * 4);
    file.insert(file.end(), packedBitmap, packedBitmap + size);
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
