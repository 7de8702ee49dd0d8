// Pixel layouts of the grabbed frame, and what the memory and native
// transfers make of them.
#include <gtest/gtest.h>

#include <vector>

#include "transfer/pixels.h"

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
        size_t consumed;
    } rows[] = {
        {"BGR32", true, true, {12, 11, 10, 99, 22, 21, 20, 99}, 8},
        {"RGB32", true, false, {10, 11, 12, 99, 20, 21, 22, 99}, 8},
        {"BGR24", false, true, {12, 11, 10, 22, 21, 20}, 6},
        {"RGB24", false, false, {10, 11, 12, 20, 21, 22}, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const FrameLayout layout = Layout(2, 1, 3, row.four, row.bgr, true);
        Bytes out(6, 0xEE);
        EXPECT_EQ(ConvertSampleStream(row.frame.data(), 0, out.data(), 6, layout), row.consumed);
        EXPECT_EQ(out, (Bytes{10, 11, 12, 20, 21, 22}));
    }
}

TEST(SampleStream, StartsAtThePositionAndConvertsNothingForNoBytes)
{
    const FrameLayout layout = Layout(1, 2, 3, true, true, true);
    const Bytes frame = {3, 2, 1, 0, 6, 5, 4, 0};
    Bytes out(3, 0xEE);
    EXPECT_EQ(ConvertSampleStream(frame.data(), 4, out.data(), 3, layout), 4u);
    EXPECT_EQ(out, (Bytes{4, 5, 6}));
    EXPECT_EQ(ConvertSampleStream(frame.data(), 0, out.data(), 0, layout), 0u);
    EXPECT_EQ(out, (Bytes{4, 5, 6}));
}

TEST(SampleStream, GreyIsTheFrameUnchanged)
{
    const FrameLayout layout = Layout(4, 2, 1, false, false, false);
    const Bytes frame = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes out(8);
    EXPECT_EQ(ConvertSampleStream(frame.data(), 0, out.data(), 8, layout), 8u);
    EXPECT_EQ(out, frame);
    EXPECT_EQ(StreamRowBytes(layout), 4u);
}

TEST(Bitmap, GreyHeaderRampAndPaddedRows)
{
    const FrameLayout layout = Layout(754, 2, 1, false, false, false);
    EXPECT_EQ(BitmapPixelSize(layout), 1u);
    EXPECT_EQ(BitmapRowBytes(layout), 756u);
    ASSERT_EQ(BitmapBytes(layout), 1064u + 2 * 756);
    Bytes block(BitmapBytes(layout), 0xEE);
    WriteBitmapHeader(block.data(), layout);
    const Bytes header(block.begin(), block.begin() + 40);
    EXPECT_EQ(header, (Bytes{40, 0, 0, 0, 0xF2, 2, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 8, 0, 0, 0, 0, 0,
                             0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}));
    for (int i : {0, 1, 128, 255}) {
        EXPECT_EQ(Bytes(block.begin() + 40 + 4 * i, block.begin() + 44 + 4 * i), Bytes(4, static_cast<uint8_t>(i)))
            << "entry " << i;
    }
    Bytes frame(754 * 2);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    CopyPixelBlock(frame.data(), block.data() + BitmapPixelOffset, layout);
    for (int y = 0; y < 2; ++y) {
        const uint8_t* row = block.data() + BitmapPixelOffset + y * 756;
        EXPECT_EQ(Bytes(row, row + 754), Bytes(frame.begin() + y * 754, frame.begin() + (y + 1) * 754));
        EXPECT_EQ(row[754], 0);
        EXPECT_EQ(row[755], 0);
    }
}

TEST(Bitmap, ColourPixelsAreBlueFirst)
{
    const struct {
        const char* name;
        bool four;
        bool bgr;
        Bytes frame;
        uint16_t bitCount;
        Bytes rows;
    } rows[] = {
        // Blue-first buffers are copied as they lie, fourth byte included.
        {"BGR32", true, true, {1, 2, 3, 9, 4, 5, 6, 9}, 32, {1, 2, 3, 9, 4, 5, 6, 9}},
        {"RGB32", true, false, {3, 2, 1, 9, 6, 5, 4, 9}, 32, {1, 2, 3, 9, 4, 5, 6, 9}},
        {"BGR24", false, true, {1, 2, 3, 4, 5, 6}, 24, {1, 2, 3, 4, 5, 6, 0, 0}},
        {"RGB24", false, false, {3, 2, 1, 6, 5, 4}, 24, {1, 2, 3, 4, 5, 6, 0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const FrameLayout layout = Layout(2, 1, 3, row.four, row.bgr, true);
        Bytes block(BitmapBytes(layout), 0xEE);
        WriteBitmapHeader(block.data(), layout);
        EXPECT_EQ(block[14] | (block[15] << 8), row.bitCount);
        EXPECT_EQ(Bytes(block.begin() + 40, block.begin() + 1064), Bytes(1024, 0)) << "colour table zero";
        EXPECT_EQ(block[32], 0) << "biClrUsed low byte";
        EXPECT_EQ(block[33], 1) << "biClrUsed 256";
        CopyPixelBlock(row.frame.data(), block.data() + BitmapPixelOffset, layout);
        EXPECT_EQ(Bytes(block.begin() + 1064, block.end()), row.rows);
    }
}

}  // namespace

namespace {

// Every width from 1 to 40 (the shuffles take 4 or 5 pixels a step and leave
// a tail), every colour layout: each delivered pixel checked on its own.
TEST(ColourConversions, EveryWidthAndLayoutPixelByPixel)
{
    const struct {
        const char* name;
        bool four;
        bool bgr;
    } layouts[] = {{"BGR32", true, true}, {"RGB32", true, false}, {"BGR24", false, true}, {"RGB24", false, false}};
    for (const auto& kind : layouts) {
        for (uint32_t width = 1; width <= 40; ++width) {
            SCOPED_TRACE(testing::Message() << kind.name << " width " << width);
            const uint32_t height = 3;
            const FrameLayout layout = Layout(width, height, 3, kind.four, kind.bgr, true);
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
            Bytes stream(width * height * 3 + 8, 0xEE);
            ASSERT_EQ(ConvertSampleStream(frame.data(), 0, stream.data(), width * height * 3, layout), frame.size());
            Bytes bitmap(BitmapRowBytes(layout) * height + 8, 0xEE);
            CopyPixelBlock(frame.data(), bitmap.data(), layout);
            int wrong = 0;
            for (uint32_t y = 0; y < height; ++y) {
                for (uint32_t x = 0; x < width; ++x) {
                    const uint8_t* s = &stream[(y * width + x) * 3];
                    const uint8_t* b = &bitmap[y * BitmapRowBytes(layout) + x * pixelSize];
                    const bool streamOk = s[0] == static_cast<uint8_t>(x) && s[1] == 100 + y &&
                                          s[2] == static_cast<uint8_t>(200 - x);
                    const bool bitmapOk = b[0] == static_cast<uint8_t>(200 - x) && b[1] == 100 + y &&
                                          b[2] == static_cast<uint8_t>(x) && (!kind.four || b[3] == 77);
                    wrong += streamOk && bitmapOk ? 0 : 1;
                }
                const size_t used = width * pixelSize;
                for (size_t pad = used; pad < BitmapRowBytes(layout); ++pad) {
                    wrong += bitmap[y * BitmapRowBytes(layout) + pad] == 0 ? 0 : 1;
                }
            }
            EXPECT_EQ(wrong, 0);
            EXPECT_EQ(stream[width * height * 3], 0xEE) << "nothing written past the stream";
            EXPECT_EQ(bitmap[BitmapRowBytes(layout) * height], 0xEE) << "nothing written past the bitmap";
        }
    }
}

}  // namespace
