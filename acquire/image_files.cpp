#include "acquire/image_files.h"

#include <cstdio>

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

uint32_t Get32(const uint8_t* at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

}  // namespace

std::vector<uint8_t> BmpFile(const uint8_t* packedBitmap, size_t size)
{
    std::vector<uint8_t> file;
    const uint32_t headerSize = Get32(packedBitmap);
    const uint32_t colours = Get32(packedBitmap + 32);
    file.push_back('B');
    file.push_back('M');
    Put32(file, static_cast<uint32_t>(14 + size));
    Put32(file, 0);
    Put32(file, 14 + headerSize + colours * 4);  // where the rows begin
    file.insert(file.end(), packedBitmap, packedBitmap + size);
    return file;
}

std::vector<uint8_t> TiffFile(uint32_t width, uint32_t height, uint32_t samplesPerPixel,
                              const std::vector<uint8_t>& rows)
{
    const bool rgb = samplesPerPixel == 3;
    const uint16_t entries = rgb ? 11 : 10;
    const uint32_t ifdOffset = 8;
    const uint32_t ifdSize = 2 + entries * 12 + 4;
    const uint32_t bitsOffset = ifdOffset + ifdSize;  // three shorts for RGB
    const uint32_t dataOffset = bitsOffset + (rgb ? 6 : 0);
    std::vector<uint8_t> file = {'I', 'I', 42, 0};
    Put32(file, ifdOffset);
    Put16(file, entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        Put16(file, tag);
        Put16(file, type);
        Put32(file, count);
        Put32(file, value);
    };
    constexpr uint16_t Short = 3, Long = 4;
    entry(256, Long, 1, width);
    entry(257, Long, 1, height);
    entry(258, Short, samplesPerPixel, rgb ? bitsOffset : 8);
    entry(259, Short, 1, 1);              // no compression
    entry(262, Short, 1, rgb ? 2 : 1);    // RGB, or black is zero
    entry(273, Long, 1, dataOffset);
    entry(277, Short, 1, samplesPerPixel);
    entry(278, Long, 1, height);
    entry(279, Long, 1, static_cast<uint32_t>(rows.size()));
    if (rgb) {
        entry(284, Short, 1, 1);  // chunky
    }
    entry(296, Short, 1, 1);      // no absolute unit
    Put32(file, 0);
    if (rgb) {
        Put16(file, 8);
        Put16(file, 8);
        Put16(file, 8);
    }
    file.insert(file.end(), rows.begin(), rows.end());
    return file;
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
