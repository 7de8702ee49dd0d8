#include "transfer/file_formats.h"

#include "transfer/pixels.h"
#include "twain/little_endian.h"

namespace {

constexpr uint16_t XResolutionTag = 282, YResolutionTag = 283, ResolutionUnitTag = 296;
constexpr uint16_t Short = 3, Rational = 5;
constexpr uint16_t Inch = 2;
constexpr uint16_t StripOffsetsTag = 273, TileOffsetsTag = 324;
constexpr uint16_t DateTimeTag = 306, Ascii = 2;
constexpr uint32_t DateTimeBytes = 20;  // 19 characters and the terminator

// Bytes of one value of each TIFF field type (0 for types it does not know).
uint32_t TiffTypeSize(uint16_t type)
{
    static const uint8_t sizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < 13 ? sizes[type] : 0;
}

// Tags whose values point at further directories.
bool PointsAtDirectories(uint16_t tag)
{
    return tag == 330 || tag == 34665 || tag == 34853 || tag == 40965;
}

}  // namespace

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

void SwapRedAndBlue(uint8_t* samples, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i, samples += 3) {
        const uint8_t red = samples[0];
        samples[0] = samples[2];
        samples[2] = red;
    }
}

int JpegQualityPercent(int16_t quality)
{
    switch (quality) {
    case TwainJpegLow: return 25;
    case TwainJpegMedium: return 50;
    case TwainJpegHigh: return 90;
    default: return quality < 0 ? 75 : quality > 100 ? 100 : quality;
    }
}

bool SetBmpFileSize(uint8_t* header, uint32_t fileSize)
{
    if (GetU32(header + 2) == fileSize) {
        return false;
    }
    PutU32(header + 2, fileSize);
    return true;
}

bool TiffFirstDirectory(const uint8_t* file, size_t size, uint32_t& directory, uint32_t& link)
{
    if (size < 8 || file[0] != 'I' || file[1] != 'I' || GetU16(file + 2) != 42) {
        return false;
    }
    directory = GetU32(file + 4);
    if (directory < 8 || directory > size || size - directory < 2) {
        return false;
    }
    const uint32_t entries = GetU16(file + directory);
    if ((size - directory - 2) / 12 < entries || (size - directory - 2 - 12 * entries) < 4) {
        return false;
    }
    link = directory + 2 + 12 * entries;
    return true;
}

bool ShiftTiffPage(uint8_t* file, size_t size, uint32_t shift)
{
    uint32_t directory = 0, link = 0;
    if (!TiffFirstDirectory(file, size, directory, link) || GetU32(file + link) != 0 ||
        size > 0xFFFFFFFFu - shift) {
        return false;
    }
    const uint32_t entries = GetU16(file + directory);
    // Checked whole first, changed after: a page refused is left as it was.
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < entries; ++i) {
            uint8_t* entry = file + directory + 2 + 12 * i;
            const uint16_t tag = GetU16(entry);
            const uint16_t type = GetU16(entry + 2);
            const uint32_t count = GetU32(entry + 4);
            const uint32_t itemSize = TiffTypeSize(type);
            if (PointsAtDirectories(tag) || itemSize == 0 || count > size / itemSize) {
                return false;
            }
            const bool outside = count * itemSize > 4;
            uint8_t* values = entry + 8;
            if (outside) {
                const uint32_t offset = GetU32(entry + 8);
                if (offset > size || size - offset < count * itemSize) {
                    return false;
                }
                values = file + offset;
                if (pass == 1) {
                    PutU32(entry + 8, offset + shift);
                }
            }
            if (tag != StripOffsetsTag && tag != TileOffsetsTag) {
                continue;
            }
            if (type != 4 && type != 3) {
                return false;
            }
            for (uint32_t v = 0; v < count; ++v) {
                if (type == 3) {
                    const uint32_t moved = GetU16(values + 2 * v) + shift;
                    if (moved > 0xFFFF) {
                        return false;
                    }
                    if (pass == 1) {
                        PutU16(values + 2 * v, static_cast<uint16_t>(moved));
                    }
                } else if (pass == 1) {
                    PutU32(values + 4 * v, GetU32(values + 4 * v) + shift);
                }
            }
        }
    }
    PutU32(file + 4, directory + shift);
    return true;
}

size_t TiffDateTimeTail(const uint8_t* file, size_t size, const char* text, uint8_t* tail, size_t room,
                        uint32_t& directory)
{
    uint32_t old = 0;
    uint32_t link = 0;
    if (!TiffFirstDirectory(file, size, old, link)) {
        return 0;
    }
    const uint32_t entries = GetU16(file + old);
    const size_t start = size + (size & 1);  // a directory starts on a word boundary
    const size_t bytes = (start - size) + 2 + 12 * (static_cast<size_t>(entries) + 1) + 4 + DateTimeBytes;
    if (entries == 0xFFFF || start + bytes > 0xFFFFFFFFu) {
        return 0;
    }
    for (uint32_t i = 0; i < entries; ++i) {
        if (GetU16(file + old + 2 + 12 * i) == DateTimeTag) {
            return 0;
        }
    }
    if (tail == nullptr) {
        return bytes;
    }
    if (room < bytes) {
        return 0;
    }
    uint8_t* at = tail;
    if (start != size) {
        *at++ = 0;
    }
    directory = static_cast<uint32_t>(start);
    PutU16(at, static_cast<uint16_t>(entries + 1));
    at += 2;
    const uint32_t textOffset = static_cast<uint32_t>(start + 2 + 12 * (entries + 1) + 4);
    bool placed = false;
    for (uint32_t i = 0; i <= entries; ++i) {
        const uint8_t* entry = i < entries ? file + old + 2 + 12 * i : nullptr;
        if (!placed && (entry == nullptr || GetU16(entry) > DateTimeTag)) {
            PutU16(at, DateTimeTag);
            PutU16(at + 2, Ascii);
            PutU32(at + 4, DateTimeBytes);
            PutU32(at + 8, textOffset);
            at += 12;
            placed = true;
        }
        if (entry != nullptr) {
            for (int b = 0; b < 12; ++b) {
                at[b] = entry[b];
            }
            at += 12;
        }
    }
    PutU32(at, GetU32(file + link));
    at += 4;
    for (uint32_t i = 0; i < DateTimeBytes; ++i) {
        at[i] = i < DateTimeBytes - 1 ? static_cast<uint8_t>(text[i]) : 0;
    }
    return bytes;
}
