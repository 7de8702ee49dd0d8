// Pixel layouts of the grabbed frame, and what the memory and native
// transfers make of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acquire/image_check.h"
#include "acquire/image_files.h"
#include "transfer/file_formats.h"
#include "transfer/pixels.h"
#include "twain/little_endian.h"

namespace {

using Bytes = std::vector<uint8_t>;

FrameLayout Layout(uint32_t width, uint32_t height, uint32_t bands, bool four, bool bgr, bool color)
{
    FrameLayout layout;
    layout.Width = width;
    layout.Height = height;
    layout.BandCount = bands;
    layout.FourBytePixels = four;
    layout.BgrOrder = bgr;
    layout.Color = color;
    return layout;
}

TEST(SampleStream, ColourBuffersDeliverRedGreenBlue)
{
    // Two pixels: red 10/20, green 11/21, blue 12/22, in each buffer layout.
    const struct {
        const char* name;
        bool four;
        bool bgr;
        Bytes frame;
    } rows[] = {
        {"BGR32", true, true, {12, 11, 10, 99, 22, 21, 20, 99}},
        {"RGB32", true, false, {10, 11, 12, 99, 20, 21, 22, 99}},
        {"BGR24", false, true, {12, 11, 10, 22, 21, 20}},
        {"RGB24", false, false, {10, 11, 12, 20, 21, 22}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const FrameLayout layout = Layout(2, 1, 3, row.four, row.bgr, true);
        Bytes out(6, 0xEE);
        ConvertSampleStream(row.frame.data(), 0, out.data(), 6, layout);
        EXPECT_EQ(out, (Bytes{10, 11, 12, 20, 21, 22}));
    }
}

TEST(SampleStream, StartsAtTheRowAndConvertsNothingForNoBytes)
{
    const FrameLayout layout = Layout(1, 2, 3, true, true, true);
    const Bytes frame = {3, 2, 1, 0, 6, 5, 4, 0};
    Bytes out(3, 0xEE);
    ConvertSampleStream(frame.data(), 1, out.data(), 3, layout);
    EXPECT_EQ(out, (Bytes{4, 5, 6}));
    ConvertSampleStream(frame.data(), 0, out.data(), 0, layout);
    EXPECT_EQ(out, (Bytes{4, 5, 6}));
}

TEST(SampleStream, GreyIsTheFrameUnchanged)
{
    const FrameLayout layout = Layout(4, 2, 1, false, false, false);
    const Bytes frame = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes out(8);
    ConvertSampleStream(frame.data(), 0, out.data(), 8, layout);
    EXPECT_EQ(out, frame);
    EXPECT_EQ(StreamRowBytes(layout), 4u);
}

TEST(SampleStream, PixelTypeOtherThanTheBufferIsConverted)
{
    // Two pixels: (10, 20, 30) and (200, 100, 50); luma 18.1 -> 18, 124.4 -> 124.
    const struct {
        const char* name;
        uint32_t bands;
        bool four;
        bool bgr;
        uint32_t samples;
        Bytes frame;
        Bytes stream;
    } rows[] = {
        {"BGR32 as grey", 3, true, true, 1, {30, 20, 10, 9, 50, 100, 200, 9}, {18, 124}},
        {"RGB32 as grey", 3, true, false, 1, {10, 20, 30, 9, 200, 100, 50, 9}, {18, 124}},
        {"BGR24 as grey", 3, false, true, 1, {30, 20, 10, 50, 100, 200}, {18, 124}},
        {"RGB24 as grey", 3, false, false, 1, {10, 20, 30, 200, 100, 50}, {18, 124}},
        {"grey as RGB", 1, false, false, 3, {7, 250}, {7, 7, 7, 250, 250, 250}},
        {"grey as grey", 1, false, false, 1, {7, 250}, {7, 250}},
        {"4-byte grey as RGB", 1, true, false, 3, {7, 9, 9, 9, 250, 9, 9, 9}, {7, 7, 7, 250, 250, 250}},
        {"4-byte grey as grey", 1, true, false, 1, {7, 9, 9, 9, 250, 9, 9, 9}, {7, 250}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FrameLayout layout = Layout(2, 1, row.bands, row.four, row.bgr, row.bands == 3);
        layout.Samples = row.samples;
        EXPECT_EQ(StreamRowBytes(layout), row.stream.size());
        Bytes out(row.stream.size() + 1, 0xEE);
        ConvertSampleStream(row.frame.data(), 0, out.data(), row.stream.size(), layout);
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), row.stream);
        EXPECT_EQ(out.back(), 0xEE);
    }
    EXPECT_EQ(Luma(255, 255, 255), 255);
    EXPECT_EQ(Luma(0, 0, 0), 0);
    EXPECT_EQ(Luma(0, 0, 5), 1) << "0.57 rounds up";
    EXPECT_EQ(Luma(1, 0, 0), 0) << "0.299 rounds down";
}

uint32_t Word32(const Bytes& block, size_t at)
{
    return block[at] | (block[at + 1] << 8) | (block[at + 2] << 16) | (static_cast<uint32_t>(block[at + 3]) << 24);
}

TEST(Bitmap, GreyIsBottomUpWithARampAndPaddedRows)
{
    const FrameLayout layout = Layout(754, 2, 1, false, false, false);
    EXPECT_EQ(BitmapRowBytes(layout, BitmapStyle::Standard), 756u);
    ASSERT_EQ(BitmapBytes(layout, BitmapStyle::Standard), 1064u + 2 * 756);
    Bytes frame(754 * 2);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    Bytes block(BitmapBytes(layout, BitmapStyle::Standard), 0xEE);
    WriteBitmap(frame.data(), block.data(), layout, BitmapStyle::Standard);
    const Bytes header(block.begin(), block.begin() + 40);
    // biHeight +2, biBitCount 8, biSizeImage 1512, 300 dots per inch (11811
    // pixels per metre) both ways, biClrUsed and biClrImportant 256.
    EXPECT_EQ(header, (Bytes{40, 0, 0, 0, 0xF2, 2, 0, 0, 2, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0,
                             0xE8, 5, 0, 0, 0x23, 0x2E, 0, 0, 0x23, 0x2E, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}));
    for (int i : {0, 1, 128, 255}) {
        const auto v = static_cast<uint8_t>(i);
        EXPECT_EQ(Bytes(block.begin() + 40 + 4 * i, block.begin() + 44 + 4 * i), (Bytes{v, v, v, 0})) << "entry " << i;
    }
    for (int y = 0; y < 2; ++y) {
        // The bottom frame row is the first bitmap row.
        const uint8_t* row = block.data() + 1064 + (1 - y) * 756;
        EXPECT_EQ(Bytes(row, row + 754), Bytes(frame.begin() + y * 754, frame.begin() + (y + 1) * 754));
        EXPECT_EQ(row[754], 0);
        EXPECT_EQ(row[755], 0);
    }
}

// Every width from 1 to 40 (the shuffles take 4 or 5 pixels a step and leave
// a tail), every colour layout, as colour and as grey: each delivered pixel
// of the stream and of the bitmap checked on its own.
TEST(ColourConversions, EveryWidthAndLayoutPixelByPixel)
{
    const struct {
        const char* name;
        bool four;
        bool bgr;
    } layouts[] = {{"BGR32", true, true}, {"RGB32", true, false}, {"BGR24", false, true}, {"RGB24", false, false}};
    for (const auto& kind : layouts) {
        for (uint32_t samples : {3u, 1u}) {
            for (uint32_t width = 1; width <= 40; ++width) {
                SCOPED_TRACE(testing::Message() << kind.name << " samples " << samples << " width " << width);
                const uint32_t height = 3;
                FrameLayout layout = Layout(width, height, 3, kind.four, kind.bgr, true);
                layout.Samples = samples;
                const uint32_t pixelSize = kind.four ? 4 : 3;
                // Red x, green 100 + y, blue 200 - x, unused byte 77.
                Bytes frame(width * height * pixelSize);
                for (uint32_t y = 0; y < height; ++y) {
                    for (uint32_t x = 0; x < width; ++x) {
                        uint8_t* p = &frame[(y * width + x) * pixelSize];
                        p[kind.bgr ? 2 : 0] = static_cast<uint8_t>(x);
                        p[1] = static_cast<uint8_t>(100 + y);
                        p[kind.bgr ? 0 : 2] = static_cast<uint8_t>(200 - x);
                        if (kind.four) {
                            p[3] = 77;
                        }
                    }
                }
                const size_t streamBytes = width * height * samples;
                Bytes stream(streamBytes + 8, 0xEE);
                ConvertSampleStream(frame.data(), 0, stream.data(), streamBytes, layout);
                const size_t bitmapBytes = BitmapBytes(layout, BitmapStyle::Standard);
                const size_t offset = BitmapPixelOffset(layout, BitmapStyle::Standard);
                const size_t rowBytes = BitmapRowBytes(layout, BitmapStyle::Standard);
                ASSERT_EQ(offset, samples == 3 ? 40u : 1064u);
                ASSERT_EQ(rowBytes, (width * samples + 3) & ~3u);
                Bytes bitmap(bitmapBytes + 8, 0xEE);
                WriteBitmap(frame.data(), bitmap.data(), layout, BitmapStyle::Standard);
                EXPECT_EQ(bitmap[14], samples * 8) << "biBitCount";
                int wrong = 0;
                for (uint32_t y = 0; y < height; ++y) {
                    const uint8_t* bitmapRow = &bitmap[offset + (height - 1 - y) * rowBytes];
                    for (uint32_t x = 0; x < width; ++x) {
                        const auto r = static_cast<uint8_t>(x);
                        const auto g = static_cast<uint8_t>(100 + y);
                        const auto b = static_cast<uint8_t>(200 - x);
                        const uint8_t* s = &stream[(y * width + x) * samples];
                        const uint8_t* p = bitmapRow + x * samples;
                        const bool ok = samples == 3
                                            ? s[0] == r && s[1] == g && s[2] == b && p[0] == b && p[1] == g && p[2] == r
                                            : s[0] == Luma(r, g, b) && p[0] == Luma(r, g, b);
                        wrong += ok ? 0 : 1;
                    }
                    for (size_t pad = width * samples; pad < rowBytes; ++pad) {
                        wrong += bitmapRow[pad] == 0 ? 0 : 1;
                    }
                }
                EXPECT_EQ(wrong, 0);
                EXPECT_EQ(stream[streamBytes], 0xEE) << "nothing written past the stream";
                EXPECT_EQ(bitmap[bitmapBytes], 0xEE) << "nothing written past the bitmap";
            }
        }
    }
}

// Applications written against the first releases keep their bytes.
TEST(Bitmap, LegacyLayoutKeepsTheFirstReleasesBytes)
{
    const struct {
        const char* name;
        uint32_t bands;
        bool four;
        bool bgr;
        Bytes frame;
        uint16_t bitCount;
        Bytes rows;
    } rows[] = {
        {"grey", 1, false, false, {1, 2, 3, 4, 5, 6}, 8, {1, 2, 3, 0, 4, 5, 6, 0}},
        {"BGR32", 3, true, true, {1, 2, 3, 9, 4, 5, 6, 9}, 32, {1, 2, 3, 9, 4, 5, 6, 9}},
        {"RGB32", 3, true, false, {3, 2, 1, 9, 6, 5, 4, 9}, 32, {1, 2, 3, 9, 4, 5, 6, 9}},
        {"BGR24", 3, false, true, {1, 2, 3, 4, 5, 6}, 24, {1, 2, 3, 0, 4, 5, 6, 0}},
        {"RGB24", 3, false, false, {3, 2, 1, 6, 5, 4}, 24, {1, 2, 3, 0, 4, 5, 6, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool colour = row.bands == 3;
        // Rows of one colour pixel or three grey ones: the padding shows.
        const uint32_t width = colour ? 1 : 3;
        const uint32_t height = static_cast<uint32_t>(row.frame.size()) / (width * (row.four ? 4 : row.bands));
        FrameLayout layout = Layout(width, height, row.bands, row.four, row.bgr, colour);
        layout.Samples = colour ? 1 : 3;  // ignored by the legacy layout
        ASSERT_EQ(BitmapPixelOffset(layout, BitmapStyle::Legacy), 1064u);
        Bytes block(BitmapBytes(layout, BitmapStyle::Legacy), 0xEE);
        WriteBitmap(row.frame.data(), block.data(), layout, BitmapStyle::Legacy);
        EXPECT_EQ(block[14] | (block[15] << 8), row.bitCount);
        EXPECT_EQ(Word32(block, 8), 0u - height) << "top-down";
        EXPECT_EQ(Word32(block, 20), 0u) << "biSizeImage";
        EXPECT_EQ(Word32(block, 32), 256u) << "biClrUsed";
        EXPECT_EQ(Word32(block, 36), 256u) << "biClrImportant";
        if (colour) {
            EXPECT_EQ(Bytes(block.begin() + 40, block.begin() + 1064), Bytes(1024, 0)) << "colour table zero";
        } else {
            EXPECT_EQ(Bytes(block.begin() + 40 + 4 * 200, block.begin() + 44 + 4 * 200), Bytes(4, 200))
                << "the index in all four bytes";
        }
        EXPECT_EQ(Bytes(block.begin() + 1064, block.end()), row.rows);
    }
}

// Another writer's TIFF (the imaging library's save says 72 dots per inch
// and no unit) takes the image's resolution; a directory that lies outside
// the file, or one without both rationals, is left as it is.
TEST(TiffResolution, AnotherWritersFileTakesTheImagesResolution)
{
    const Bytes library = {'I', 'I', 42, 0, 8, 0, 0, 0,
                           3, 0,                                   // three entries
                           0x1A, 1, 5, 0, 1, 0, 0, 0, 50, 0, 0, 0,  // XResolution at 50
                           0x1B, 1, 5, 0, 1, 0, 0, 0, 58, 0, 0, 0,  // YResolution at 58
                           0x28, 1, 3, 0, 1, 0, 0, 0, 1, 0, 0, 0,   // ResolutionUnit: none
                           0, 0, 0, 0,
                           72, 0, 0, 0, 1, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0};
    Bytes file = library;
    ASSERT_TRUE(SetTiffResolution(file.data(), file.size()));
    EXPECT_EQ(Bytes(file.begin() + 50, file.end()), (Bytes{0x2C, 1, 0, 0, 1, 0, 0, 0, 0x2C, 1, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(file[42], 2) << "inches";
    file = library;
    file.resize(60);  // the second rational cut short
    EXPECT_FALSE(SetTiffResolution(file.data(), file.size()));
    EXPECT_EQ(file, Bytes(library.begin(), library.begin() + 60));
    file = library;
    file[22] = 0x1C;  // not YResolution
    EXPECT_FALSE(SetTiffResolution(file.data(), file.size()));
    EXPECT_EQ(Bytes(file.begin() + 50, file.end()), Bytes(library.begin() + 50, library.end()));
    file = library;
    file[8] = 9;  // more entries than the file holds
    EXPECT_FALSE(SetTiffResolution(file.data(), file.size()));
}

// Pages joined as the multi-page file is built: a second single-page TIFF
// (colour, its bits and rationals outside its directory) shifted to the end
// of the first and linked from it reads back as the second page, every
// sample in place. A page that points at other directories, or whose
// values lie outside it, is refused and left as it was.
TEST(TiffPages, AShiftedPageLinkedAfterTheFirstReadsBackAsTheSecond)
{
    Bytes grey, colour;
    for (uint32_t i = 0; i < 6 * 4; ++i) {
        grey.push_back(static_cast<uint8_t>(i));
        colour.insert(colour.end(), {static_cast<uint8_t>(i), static_cast<uint8_t>(2 * i), static_cast<uint8_t>(3 * i)});
    }
    Bytes file = TiffFile(6, 4, 1, grey);
    Bytes page = TiffFile(6, 4, 3, colour);
    uint32_t directory = 0, link = 0;
    ASSERT_TRUE(TiffFirstDirectory(file.data(), file.size(), directory, link));
    const Bytes unshifted = page;
    const uint32_t at = static_cast<uint32_t>(file.size() + 1) & ~1u;
    ASSERT_TRUE(ShiftTiffPage(page.data(), page.size(), at - 8));
    file.resize(at);
    file.insert(file.end(), page.begin() + 8, page.end());
    PutU32(&file[link], GetU32(&page[4]));
    ASSERT_EQ(TiffPageCount(file.data(), file.size()), 2u);
    DecodedImage image;
    std::string error;
    ASSERT_TRUE(DecodeTiffPage(file.data(), file.size(), 1, image, error)) << error;
    EXPECT_EQ(image.Samples, 3u);
    EXPECT_EQ(image.Pixels, colour);
    ASSERT_TRUE(DecodeTiffPage(file.data(), file.size(), 0, image, error)) << error;
    EXPECT_EQ(image.Pixels, grey);

    for (const uint16_t tag : {34665, 330}) {
        page = unshifted;
        uint32_t first = 0;
        ASSERT_TRUE(TiffFirstDirectory(page.data(), page.size(), first, link));
        PutU16(&page[first + 2], tag);  // the first entry made a pointer to directories
        const Bytes before = page;
        EXPECT_FALSE(ShiftTiffPage(page.data(), page.size(), 100)) << tag;
        EXPECT_EQ(page, before);
    }
    page = unshifted;
    page.resize(page.size() - 1);  // the strip's last byte outside the file
    EXPECT_TRUE(ShiftTiffPage(page.data(), page.size(), 100)) << "strips are moved, not read";
    page = unshifted;
    page.resize(GetU32(&page[4]) + 2 + 12 * GetU16(&page[GetU32(&page[4])]) + 4 + 3);  // the colour bits cut short
    EXPECT_FALSE(ShiftTiffPage(page.data(), page.size(), 100));
}

// Some encoders leave the colour table out of a BMP's file size.
TEST(BmpFileSize, TheHeaderSaysTheFilesSize)
{
    Bytes header = {'B', 'M', 0x36, 0xC0, 6, 0};
    EXPECT_TRUE(SetBmpFileSize(header.data(), 443446));
    EXPECT_EQ(GetU32(&header[2]), 443446u);
    EXPECT_FALSE(SetBmpFileSize(header.data(), 443446));
}

}  // namespace
