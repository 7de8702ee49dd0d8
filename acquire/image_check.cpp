#include "acquire/image_check.h"

#include <cstdarg>
#include <cstdio>

#include "twain/little_endian.h"

namespace {

bool Fail(std::string& error, const std::string& text)
{
    error = text;
    return false;
}

__attribute__((format(printf, 1, 2))) std::string Text(const char* format, ...)
{
    char text[160];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

// The values of a TIFF directory entry (SHORT or LONG, inline or not).
bool TiffValues(const uint8_t* file, size_t size, const uint8_t* entry, std::vector<uint32_t>& values)
{
    const uint16_t type = GetU16(entry + 2);
    const uint32_t count = GetU32(entry + 4);
    const uint32_t width = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (width == 0 || count == 0 || count > (1u << 20)) {
        return false;
    }
    const uint8_t* at = entry + 8;
    if (static_cast<uint64_t>(count) * width > 4) {
        const uint32_t offset = GetU32(entry + 8);
        if (offset > size || static_cast<uint64_t>(count) * width > size - offset) {
            return false;
        }
        at = file + offset;
    }
    values.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        values[i] = width == 2 ? GetU16(at + 2 * i) : GetU32(at + 4 * i);
    }
    return true;
}

}  // namespace

bool DecodeDib(const uint8_t* dib, size_t size, DecodedImage& image, std::string& error)
{
    if (size < 40 || GetU32(dib) < 40 || GetU32(dib) > size) {
        return Fail(error, "no bitmap header");
    }
    const uint32_t headerSize = GetU32(dib);
    const auto width = static_cast<int32_t>(GetU32(dib + 4));
    const auto height = static_cast<int32_t>(GetU32(dib + 8));
    const uint16_t bits = GetU16(dib + 14);
    if (GetU32(dib + 16) != 0) {
        return Fail(error, "compressed bitmap");
    }
    if (width <= 0 || height == 0 || height == INT32_MIN || (bits != 8 && bits != 24 && bits != 32)) {
        return Fail(error, Text("unreadable bitmap: width %ld, height %ld, %u bits", static_cast<long>(width),
                                static_cast<long>(height), static_cast<unsigned>(bits)));
    }
    uint32_t colours = GetU32(dib + 32);
    if (colours == 0 && bits == 8) {
        colours = 256;
    }
    const uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
    const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
    const uint64_t offset = headerSize + static_cast<uint64_t>(colours) * 4;
    if (offset + stride * rows > size) {
        return Fail(error, Text("bitmap of %lu bytes shorter than its rows need (%lu)", static_cast<unsigned long>(size),
                                static_cast<unsigned long>(offset + stride * rows)));
    }
    const uint32_t sizeImage = GetU32(dib + 20);
    if (sizeImage != 0 && sizeImage != stride * rows) {
        return Fail(error, Text("biSizeImage %lu, the rows take %lu", static_cast<unsigned long>(sizeImage),
                                static_cast<unsigned long>(stride * rows)));
    }
    const uint8_t* table = dib + headerSize;
    if (bits == 8) {
        for (uint32_t i = 0; i < colours; ++i) {
            if (table[4 * i] != table[4 * i + 1] || table[4 * i] != table[4 * i + 2]) {
                return Fail(error, Text("colour table entry %lu is not grey", static_cast<unsigned long>(i)));
            }
        }
    }
    image.Width = static_cast<uint32_t>(width);
    image.Height = rows;
    image.Samples = bits == 8 ? 1 : 3;
    image.Pixels.assign(static_cast<size_t>(image.Width) * rows * image.Samples, 0);
    const uint32_t pixelBytes = bits / 8;
    for (uint32_t y = 0; y < rows; ++y) {
        // A positive height stores the bottom row first.
        const uint32_t stored = height > 0 ? rows - 1 - y : y;
        const uint8_t* row = dib + offset + stride * stored;
        uint8_t* out = image.Pixels.data() + static_cast<size_t>(y) * image.Width * image.Samples;
        for (uint32_t x = 0; x < image.Width; ++x) {
            const uint8_t* pixel = row + static_cast<size_t>(x) * pixelBytes;
            if (bits == 8) {
                if (*pixel >= colours) {
                    return Fail(error, Text("pixel %lu,%lu outside the colour table", static_cast<unsigned long>(x),
                                            static_cast<unsigned long>(y)));
                }
                out[x] = table[4 * *pixel];
            } else {
                out[3 * x] = pixel[2];
                out[3 * x + 1] = pixel[1];
                out[3 * x + 2] = pixel[0];
            }
        }
    }
    return true;
}

bool DecodeBmpFile(const uint8_t* file, size_t size, DecodedImage& image, std::string& error)
{
    if (size < 14 + 40 || file[0] != 'B' || file[1] != 'M') {
        return Fail(error, "not a BMP file");
    }
    if (GetU32(file + 2) != size) {
        return Fail(error, Text("BMP file size field %lu, the file has %lu", static_cast<unsigned long>(GetU32(file + 2)),
                                static_cast<unsigned long>(size)));
    }
    const uint8_t* dib = file + 14;
    const uint32_t colours = GetU32(dib + 32) != 0 || GetU16(dib + 14) != 8 ? GetU32(dib + 32) : 256;
    if (GetU32(file + 10) != 14 + GetU32(dib) + colours * 4) {
        return Fail(error, Text("bfOffBits %lu does not point past the colour table",
                                static_cast<unsigned long>(GetU32(file + 10))));
    }
    return DecodeDib(dib, size - 14, image, error);
}

bool DecodeTiffFile(const uint8_t* file, size_t size, DecodedImage& image, std::string& error)
{
    return DecodeTiffPage(file, size, 0, image, error);
}

uint32_t TiffPageCount(const uint8_t* file, size_t size)
{
    if (size < 8 || file[0] != 'I' || file[1] != 'I' || GetU16(file + 2) != 42) {
        return 0;
    }
    uint32_t pages = 0;
    // A chain longer than the file has room for loops.
    for (uint32_t ifd = GetU32(file + 4); ifd != 0 && pages < size / 14; ++pages) {
        if (ifd > size - 2 || GetU16(file + ifd) > (size - ifd - 6) / 12) {
            return pages;
        }
        ifd = GetU32(file + ifd + 2 + 12 * GetU16(file + ifd));
    }
    return pages;
}

bool DecodeTiffPage(const uint8_t* file, size_t size, uint32_t page, DecodedImage& image, std::string& error)
{
    if (size < 8 || file[0] != 'I' || file[1] != 'I' || GetU16(file + 2) != 42) {
        return Fail(error, "not a little-endian TIFF");
    }
    if (page >= TiffPageCount(file, size)) {
        return Fail(error, Text("TIFF of %lu pages has no page %lu", static_cast<unsigned long>(TiffPageCount(file, size)),
                                static_cast<unsigned long>(page)));
    }
    uint32_t ifd = GetU32(file + 4);
    for (uint32_t i = 0; i < page; ++i) {
        ifd = GetU32(file + ifd + 2 + 12 * GetU16(file + ifd));
    }
    if (ifd > size - 2 || GetU16(file + ifd) > (size - ifd - 2) / 12) {
        return Fail(error, "TIFF directory outside the file");
    }
    uint32_t width = 0, height = 0, samples = 1, compression = 1, planar = 1, rowsPerStrip = 0;
    std::vector<uint32_t> bits, offsets, counts;
    const uint16_t entries = GetU16(file + ifd);
    for (uint16_t i = 0; i < entries; ++i) {
        const uint8_t* entry = file + ifd + 2 + 12 * i;
        std::vector<uint32_t> values;
        if (!TiffValues(file, size, entry, values)) {
            continue;  // a tag of another type is of no concern here
        }
        switch (GetU16(entry)) {
        case 256: width = values[0]; break;
        case 257: height = values[0]; break;
        case 258: bits = values; break;
        case 259: compression = values[0]; break;
        case 273: offsets = values; break;
        case 277: samples = values[0]; break;
        case 278: rowsPerStrip = values[0]; break;
        case 279: counts = values; break;
        case 284: planar = values[0]; break;
        default: break;
        }
    }
    if (width == 0 || height == 0 || (samples != 1 && samples != 3) || compression != 1 ||
        (samples == 3 && planar != 1) || offsets.empty() || offsets.size() != counts.size()) {
        return Fail(error, Text("unsupported TIFF: %lu x %lu, %lu samples", static_cast<unsigned long>(width),
                                static_cast<unsigned long>(height), static_cast<unsigned long>(samples)));
    }
    for (uint32_t b : bits) {
        if (b != 8) {
            return Fail(error, Text("TIFF of %lu-bit samples", static_cast<unsigned long>(b)));
        }
    }
    (void)rowsPerStrip;
    image.Width = width;
    image.Height = height;
    image.Samples = samples;
    const uint64_t need = static_cast<uint64_t>(width) * height * samples;
    if (need > (1u << 28)) {
        return Fail(error, "TIFF too large");
    }
    image.Pixels.clear();
    for (size_t i = 0; i < offsets.size() && image.Pixels.size() < need; ++i) {
        if (offsets[i] > size || counts[i] > size - offsets[i]) {
            return Fail(error, Text("TIFF strip %lu outside the file", static_cast<unsigned long>(i)));
        }
        image.Pixels.insert(image.Pixels.end(), file + offsets[i], file + offsets[i] + counts[i]);
    }
    if (image.Pixels.size() < need) {
        return Fail(error, Text("TIFF strips hold %lu bytes, the image needs %lu",
                                static_cast<unsigned long>(image.Pixels.size()), static_cast<unsigned long>(need)));
    }
    image.Pixels.resize(need);
    return true;
}

bool MatchesPattern(const DecodedImage& image, uint32_t boardSamples, std::string& error, double meanDifference,
                    bool stamped)
{
    if (image.Samples != 1 && image.Samples != 3) {
        return Fail(error, "no image");
    }
    uint64_t difference = 0;
    for (uint32_t y = 0; y < image.Height; ++y) {
        for (uint32_t x = 0; x < image.Width; ++x) {
            const uint32_t frameX = image.Left + x, frameY = image.Top + y;
            if (stamped && frameX < StampWidth && frameY < StampHeight) {
                continue;
            }
            uint32_t red = frameX & 0xFF, green = frameY & 0xFF, blue = (frameX + frameY) & 0xFF;
            if (boardSamples == 1) {
                green = blue = red;
            }
            const uint8_t* got = image.Pixels.data() + (static_cast<size_t>(y) * image.Width + x) * image.Samples;
            const uint32_t grey = (299 * red + 587 * green + 114 * blue + 500) / 1000;
            const uint32_t want[3] = {image.Samples == 3 ? red : grey, green, blue};
            for (uint32_t i = 0; i < image.Samples; ++i) {
                const uint32_t apart = got[i] > want[i] ? got[i] - want[i] : want[i] - got[i];
                if (apart != 0 && meanDifference == 0) {
                    return Fail(error, Text("pixel %lu,%lu differs from the pattern (first sample %u)",
                                            static_cast<unsigned long>(x), static_cast<unsigned long>(y),
                                            static_cast<unsigned>(got[0])));
                }
                difference += apart;
            }
        }
    }
    const double samples = static_cast<double>(image.Width) * image.Height * image.Samples;
    if (samples > 0 && static_cast<double>(difference) / samples > meanDifference) {
        return Fail(error, Text("the samples differ from the pattern by %.2f on average, more than %.2f",
                                static_cast<double>(difference) / samples, meanDifference));
    }
    return true;
}

namespace {

// How many of the numbers 0 to n - 1 have bit `bit` set.
uint64_t OnesBelow(uint64_t n, uint32_t bit)
{
    const uint64_t half = uint64_t{1} << bit;
    const uint64_t rest = n & (2 * half - 1);
    return (n >> (bit + 1) << bit) + (rest > half ? rest - half : 0);
}

}  // namespace

bool ReadFrameStamp(const DecodedImage& image, uint32_t frames, uint32_t& first, std::string& error)
{
    if (frames == 0 || image.Left != 0 || image.Top != 0 || image.Width < StampWidth || image.Height < StampHeight ||
        image.Pixels.size() < static_cast<size_t>(image.Width) * StampHeight * image.Samples) {
        return Fail(error, "the image does not hold the frame stamp");
    }
    // The middle of each block, first sample: its share of set bits.
    uint32_t ones[32];
    for (uint32_t bit = 0; bit < 32; ++bit) {
        const uint32_t level = image.Pixels[(static_cast<size_t>(4) * image.Width + bit * 8 + 4) * image.Samples];
        ones[bit] = (level * frames + 127) / 255;
    }
    for (uint64_t f = 0; f < (uint64_t{1} << 24); ++f) {
        bool all = true;
        for (uint32_t bit = 0; bit < 32 && all; ++bit) {
            all = OnesBelow(f + frames, bit) - OnesBelow(f, bit) == ones[bit];
        }
        if (all) {
            first = static_cast<uint32_t>(f);
            return true;
        }
    }
    return Fail(error, "no run of frames gives the stamp");
}
