// The image checker of `twacquire --check`, which the transfer and
// end-to-end tests take as their oracle, given wrong images: an oracle that
// passes everything would let every transfer test pass with it. Each right
// image is read first, so a refusal is the damage's doing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "acquire/image_check.h"
#include "acquire/image_files.h"
#include "transfer/pixels.h"
#include "twain/little_endian.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Width = 7, Height = 5;

// The simulated board's gradient, rows top first: red (or grey) x, green y,
// blue x + y.
Bytes PatternRows(uint32_t samples)
{
    Bytes rows;
    for (uint32_t y = 0; y < Height; ++y) {
        for (uint32_t x = 0; x < Width; ++x) {
            const uint8_t pixel[3] = {static_cast<uint8_t>(x), static_cast<uint8_t>(y), static_cast<uint8_t>(x + y)};
            rows.insert(rows.end(), pixel, pixel + samples);
        }
    }
    return rows;
}

TEST(ImageCheck, ASampleOffByOneIsRefusedNamingItsPixel)
{
    const struct {
        const char* what;
        uint32_t samples;
        uint32_t sample;
    } rows[] = {{"red", 3, 0}, {"green", 3, 1}, {"blue", 3, 2}, {"grey", 1, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DecodedImage image;
        image.Width = Width;
        image.Height = Height;
        image.Samples = row.samples;
        image.Pixels = PatternRows(row.samples);
        std::string error;
        ASSERT_TRUE(MatchesPattern(image, row.samples, error)) << error;
        image.Pixels[(2 * Width + 3) * row.samples + row.sample] += 1;
        EXPECT_FALSE(MatchesPattern(image, row.samples, error));
        EXPECT_NE(error.find("pixel 3,2 "), std::string::npos) << error;
    }
}

// Where the value of a directory entry lies in a TIFF.
size_t TiffValueAt(const Bytes& tiff, uint16_t tag)
{
    const uint32_t directory = GetU32(&tiff[4]);
    for (uint32_t i = 0; i < GetU16(&tiff[directory]); ++i) {
        const size_t entry = directory + 2 + 12 * i;
        if (GetU16(&tiff[entry]) == tag) {
            return entry + 8;
        }
    }
    ADD_FAILURE() << "no tag " << tag;
    return 0;
}

// A header field that disagrees with the bytes there are.
TEST(ImageCheck, AFieldThatDisagreesWithTheBytesIsRefused)
{
    FrameLayout grey;
    grey.Width = Width;
    grey.Height = Height;
    grey.BandCount = 1;
    Bytes dib(BitmapBytes(grey, BitmapStyle::Standard));
    WriteBitmap(PatternRows(1).data(), dib.data(), grey, BitmapStyle::Standard);
    const Bytes bmp = BmpFile(dib.data(), dib.size());
    const Bytes tiff = TiffFile(Width, Height, 3, PatternRows(3));

    using Decoder = bool (*)(const uint8_t*, size_t, DecodedImage&, std::string&);
    const struct {
        const char* what;
        Bytes bytes;
        Decoder decode;
        uint32_t samples;
        size_t field;
        int32_t change;
        const char* named;
    } rows[] = {
        {"bitmap with biSizeImage a row more", dib, DecodeDib, 1, 20, 8, "biSizeImage"},
        {"BMP with bfOffBits past the rows' start", bmp, DecodeBmpFile, 1, 10, 4, "bfOffBits"},
        {"TIFF whose strip is a byte short", tiff, DecodeTiffFile, 3, TiffValueAt(tiff, 279), -1, "strips hold"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DecodedImage image;
        std::string error;
        ASSERT_TRUE(row.decode(row.bytes.data(), row.bytes.size(), image, error)) << error;
        EXPECT_TRUE(MatchesPattern(image, row.samples, error)) << error;
        Bytes damaged = row.bytes;
        PutU32(&damaged[row.field], GetU32(&damaged[row.field]) + static_cast<uint32_t>(row.change));
        error.clear();
        EXPECT_FALSE(row.decode(damaged.data(), damaged.size(), image, error));
        EXPECT_NE(error.find(row.named), std::string::npos) << error;
    }
}

}  // namespace
