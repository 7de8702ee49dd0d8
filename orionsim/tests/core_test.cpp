// Byte-level logic of the library: level transfer, ramps, colour matrix,
// pattern and packing, TIFF encoding, trace lines, environment parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>

#include "config.h"
#include "render.h"
#include "tiff.h"
#include "trace.h"

using namespace orionsim;

namespace {

int Round(double v) { return static_cast<int>(std::floor(v + 0.5)); }
int Clamp(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

TEST(Levels, ReferencesStretchBetweenBlackAndWhite) {
    struct Case { int black, white; };
    for (Case c : {Case{0, 255}, Case{64, 192}, Case{10, 250}, Case{0, 128}, Case{200, 255}, Case{100, 101}}) {
        SCOPED_TRACE(testing::Message() << "black " << c.black << " white " << c.white);
        for (int v = 0; v < 256; ++v) {
            int expected = v <= c.black ? 0 : v >= c.white ? 255 : Round((v - c.black) * 255.0 / (c.white - c.black));
            ASSERT_EQ(ReferenceLevel(v, c.black, c.white), expected) << "level " << v;
        }
    }
}

TEST(Levels, WhiteAtOrBelowBlackIsAStepAtBlack) {
    EXPECT_EQ(ReferenceLevel(99, 100, 100), 0);
    EXPECT_EQ(ReferenceLevel(100, 100, 100), 255);
    EXPECT_EQ(ReferenceLevel(50, 200, 20), 0);
    EXPECT_EQ(ReferenceLevel(250, 200, 20), 255);
}

TEST(Levels, BrightnessOffsetsAndContrastScalesAround128) {
    struct Case { int brightness, contrast; };
    for (Case c : {Case{128, 128}, Case{0, 128}, Case{255, 128}, Case{128, 0}, Case{128, 64}, Case{128, 255}, Case{90, 200}}) {
        SCOPED_TRACE(testing::Message() << "brightness " << c.brightness << " contrast " << c.contrast);
        for (int v = 0; v < 256; ++v) {
            int expected = Clamp(128 + Round((v - 128) * c.contrast / 128.0) + (c.brightness - 128));
            ASSERT_EQ(BrightnessContrastLevel(v, c.brightness, c.contrast), expected) << "level " << v;
        }
    }
}

TEST(Ramp, FillsStraightLinesRoundedAndClamped) {
    struct Case { long i0; double v0; long i1; double v1; };
    for (Case c : {Case{0, 0, 255, 255}, Case{0, 255, 255, 0}, Case{0, 0, 128, 64}, Case{128, 64, 255, 255},
                   Case{10, -50, 20, 400}, Case{200, 10, 100, 90}, Case{7, 3.5, 7, 9.5}}) {
        SCOPED_TRACE(testing::Message() << c.i0 << "," << c.v0 << " .. " << c.i1 << "," << c.v1);
        uint8_t table[256];
        std::fill(std::begin(table), std::end(table), 0xAA);
        ASSERT_TRUE(FillRamp(table, 256, c.i0, c.v0, c.i1, c.v1));
        long lo = std::min(c.i0, c.i1), hi = std::max(c.i0, c.i1);
        for (long i = 0; i < 256; ++i) {
            if (i < lo || i > hi) {
                ASSERT_EQ(table[i], 0xAA) << "untouched entry " << i;
            } else if (lo == hi) {
                ASSERT_EQ(table[i], Clamp(Round(c.v1))) << "entry " << i;
            } else {
                double v = c.v0 + (c.v1 - c.v0) * double(i - c.i0) / double(c.i1 - c.i0);
                ASSERT_EQ(table[i], Clamp(Round(v))) << "entry " << i;
            }
        }
    }
}

TEST(Ramp, RefusesIndicesOutsideTheTableAndNonNumbers) {
    uint8_t table[256] = {};
    EXPECT_FALSE(FillRamp(table, 256, -1, 0, 10, 10));
    EXPECT_FALSE(FillRamp(table, 256, 0, 0, 256, 10));
    EXPECT_FALSE(FillRamp(table, 256, 0, NAN, 10, 10));
    EXPECT_FALSE(FillRamp(nullptr, 256, 0, 0, 10, 10));
    for (uint8_t v : table) ASSERT_EQ(v, 0);
}

TEST(ColorMatrix, DefaultIsIdentityAndGreyStaysGrey) {
    auto m = ColorMatrix(128, 128);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(m[i][j], i == j ? 4096 : 0);
    }
    for (int hue : {0, 40, 128, 200, 255}) {
        for (int sat : {0, 64, 128, 255}) {
            auto k = ColorMatrix(hue, sat);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(k[i][0] + k[i][1] + k[i][2], 4096) << hue << "/" << sat;
        }
    }
}

TEST(ColorMatrix, SaturationZeroGivesLumaAndHueZeroTurnsHalfWay) {
    auto grey = ColorMatrix(128, 0);
    const double luma[3] = {0.299, 0.587, 0.114};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(grey[i][j] / 4096.0, luma[j], 0.001);
    }
    auto half = ColorMatrix(0, 128);  // 180 degrees: 2 * mean - value
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(half[i][j] / 4096.0, i == j ? -1.0 / 3 : 2.0 / 3, 0.001);
    }
}

struct LayoutCase {
    PixelLayout layout;
    int bytes, r, g, b;  // offsets of the colour bytes
};

const LayoutCase kLayouts[] = {
    {PixelLayout::Rgb24, 3, 0, 1, 2},
    {PixelLayout::Bgr24, 3, 2, 1, 0},
    {PixelLayout::Rgbx32, 4, 0, 1, 2},
    {PixelLayout::Bgrx32, 4, 2, 1, 0},
};

TEST(Render, GradientPatternInEveryLayout) {
    const int w = 300, h = 270;
    FrameRenderer r(w, h, 3, PatternKind::Gradient);
    for (const auto& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << "layout bytes " << c.bytes << " red at " << c.r);
        std::vector<uint8_t> buf(w * h * c.bytes, 0xEE);
        r.Render(5, buf.data(), w, h, c.layout);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const uint8_t* p = &buf[(y * w + x) * c.bytes];
                ASSERT_EQ(p[c.r], x % 256) << x << "," << y;
                ASSERT_EQ(p[c.g], y % 256) << x << "," << y;
                ASSERT_EQ(p[c.b], (x + y) % 256) << x << "," << y;
            }
        }
    }
}

// The stamp names the frame in every layout, whatever the look-up table
// does to the picture, and leaves the rest of the gradient as it was.
TEST(Render, FrameStampNamesTheFrameInItsCorner) {
    const int w = 300, h = 20;
    FrameRenderer r(w, h, 3, PatternKind::Gradient);
    Adjustments inverted;
    for (auto& lut : inverted.lut) {
        for (int i = 0; i < 256; ++i) lut[i] = static_cast<uint8_t>(255 - i);
    }
    r.SetAdjustments(inverted);
    r.SetFrameStamp(true);
    const uint64_t frame = 0x8000A5C3u;
    for (const auto& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << "layout bytes " << c.bytes);
        std::vector<uint8_t> buf(w * h * c.bytes, 0xEE);
        r.Render(frame, buf.data(), w, h, c.layout);
        uint64_t read = 0;
        for (int bit = 0; bit < kStampBits; ++bit) {
            for (int y = 0; y < kStampSize; ++y) {
                for (int x = bit * kStampSize; x < (bit + 1) * kStampSize; ++x) {
                    for (int b = 0; b < c.bytes; ++b) {
                        ASSERT_EQ(buf[(y * w + x) * c.bytes + b], buf[bit * kStampSize * c.bytes]) << x << "," << y;
                    }
                }
            }
            read |= static_cast<uint64_t>(buf[bit * kStampSize * c.bytes] == 255) << bit;
        }
        EXPECT_EQ(read, frame);
        const uint8_t* below = &buf[(kStampSize * w + 5) * c.bytes];
        EXPECT_EQ(below[c.r], 255 - 5);
        const uint8_t* beside = &buf[(3 * w + kStampBits * kStampSize + 4) * c.bytes];
        EXPECT_EQ(beside[c.r], 255 - (kStampBits * kStampSize + 4) % 256);
    }
}

// Noise of +-8 on a mid-grey gradient: each frame within 8 levels of the
// clean picture and not the clean picture, the same frame twice the same,
// and the mean of 64 frames back within a level of it nearly everywhere.
TEST(Render, NoiseIsBoundedRepeatableAndAveragesAway) {
    const int w = 256, h = 16;
    FrameRenderer clean(w, h, 1, PatternKind::Gradient);
    FrameRenderer noisy(w, h, 1, PatternKind::Gradient);
    noisy.SetNoise(8);
    std::vector<uint8_t> picture(w * h), frame(w * h), again(w * h);
    clean.Render(0, picture.data(), w, h, PixelLayout::Mono8);
    std::vector<int> sums(w * h, 0);
    for (uint64_t n = 0; n < 64; ++n) {
        noisy.Render(n, frame.data(), w, h, PixelLayout::Mono8);
        EXPECT_NE(frame, picture);
        for (int i = 0; i < w * h; ++i) {
            ASSERT_LE(std::abs(frame[i] - picture[i]), 8) << i;
            sums[i] += frame[i];
        }
    }
    noisy.Render(63, again.data(), w, h, PixelLayout::Mono8);
    EXPECT_EQ(again, frame);
    int off = 0;
    for (int i = 0; i < w * h; ++i) {
        // Away from the clamped ends, where the noise cannot be symmetric.
        const int x = i % w;
        if (x >= 8 && x < 248) off += std::abs(sums[i] - 64 * picture[i]) > 64;
    }
    // The mean of 64 uniform draws over 17 values has a deviation of 0.6
    // levels: beyond one level about one pixel in ten.
    EXPECT_LT(off, w * h / 5);
}

TEST(Render, MonochromeGradientAndClipping) {
    FrameRenderer r(300, 20, 1, PatternKind::Gradient);
    std::vector<uint8_t> buf(200 * 30, 0xEE);
    r.Render(1, buf.data(), 200, 30, PixelLayout::Mono8);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 200; ++x) ASSERT_EQ(buf[y * 200 + x], y < 20 ? x % 256 : 0xEE) << x << "," << y;
    }
}

TEST(Render, LivePatternMovesAndCountsButKeepsItsBars) {
    const int w = 768, h = 576;
    FrameRenderer r(w, h, 3, PatternKind::Live);
    std::vector<uint8_t> a(w * h * 3), b(w * h * 3);
    r.Render(10, a.data(), w, h, PixelLayout::Rgb24);
    r.Render(11, b.data(), w, h, PixelLayout::Rgb24);
    EXPECT_NE(a, b);
    // 75 % colour bars across the upper two thirds.
    const int bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                            {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
    for (int i = 0; i < 8; ++i) {
        const uint8_t* p = &a[(100 * w + i * w / 8 + w / 16) * 3];
        EXPECT_EQ(p[0], bars[i][0]) << "bar " << i;
        EXPECT_EQ(p[1], bars[i][1]) << "bar " << i;
        EXPECT_EQ(p[2], bars[i][2]) << "bar " << i;
    }
}

TEST(Render, AdjustmentsAtDefaultsLeaveThePatternExact) {
    FrameRenderer plain(64, 64, 3, PatternKind::Gradient), adjusted(64, 64, 3, PatternKind::Gradient);
    Adjustments changed;
    changed.hue = 10;
    changed.black[1] = 40;
    adjusted.SetAdjustments(changed);
    adjusted.SetAdjustments(Adjustments{});
    std::vector<uint8_t> a(64 * 64 * 4), b(64 * 64 * 4);
    plain.Render(0, a.data(), 64, 64, PixelLayout::Bgrx32);
    adjusted.Render(0, b.data(), 64, 64, PixelLayout::Bgrx32);
    EXPECT_EQ(a, b);
}

TEST(Unpack, EveryLayoutReadsBackAsRedGreenBlue) {
    for (const auto& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << "layout bytes " << c.bytes << " red at " << c.r);
        std::vector<uint8_t> px(2 * c.bytes, 0);
        px[c.r] = 1, px[c.g] = 2, px[c.b] = 3;
        px[c.bytes + c.r] = 4, px[c.bytes + c.g] = 5, px[c.bytes + c.b] = 6;
        uint8_t out[6];
        UnpackSamples(px.data(), 2, 1, c.layout, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    }
}

uint32_t Get16(const std::vector<uint8_t>& f, size_t at) { return f[at] | f[at + 1] << 8; }
uint32_t Get32(const std::vector<uint8_t>& f, size_t at) { return Get16(f, at) | Get16(f, at + 2) << 16; }

std::map<int, std::pair<int, uint32_t>> Tags(const std::vector<uint8_t>& f) {
    std::map<int, std::pair<int, uint32_t>> tags;  // tag -> (count, value or offset)
    const uint32_t ifd = Get32(f, 4);
    for (uint32_t i = 0, n = Get16(f, ifd); i < n; ++i) {
        const size_t e = ifd + 2 + 12 * i;
        const uint32_t type = Get16(f, e + 2), count = Get32(f, e + 4);
        tags[Get16(f, e)] = {count, type == 3 && count == 1 ? Get16(f, e + 8) : Get32(f, e + 8)};
    }
    return tags;
}

TEST(Tiff, BaselineHeaderAndPixels) {
    struct Case { int spp; uint32_t photometric; };
    for (Case c : {Case{1, 1}, Case{3, 2}}) {
        SCOPED_TRACE(testing::Message() << "samples per pixel " << c.spp);
        const int w = 5, h = 3;
        std::vector<uint8_t> samples(w * h * c.spp);
        for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 7);
        auto f = EncodeTiff(w, h, c.spp, samples.data());
        ASSERT_GT(f.size(), 8u);
        EXPECT_EQ(std::string(f.begin(), f.begin() + 4), std::string("II*\0", 4));
        auto t = Tags(f);
        EXPECT_EQ(t[256].second, 5u);
        EXPECT_EQ(t[257].second, 3u);
        EXPECT_EQ(t[258].first, uint32_t(c.spp));
        EXPECT_EQ(t[259].second, 1u);
        EXPECT_EQ(t[262].second, c.photometric);
        EXPECT_EQ(t[277].second, uint32_t(c.spp));
        EXPECT_EQ(t[278].second, 3u);
        EXPECT_EQ(t[279].second, uint32_t(w * h * c.spp));
        EXPECT_EQ(t[296].second, 2u);
        EXPECT_TRUE(t.count(282) && t.count(283));
        if (c.spp == 3) {
            for (int k = 0; k < 3; ++k) EXPECT_EQ(Get16(f, t[258].second + 2 * k), 8u);
        }
        const uint32_t at = t[273].second;
        ASSERT_EQ(at + samples.size(), f.size());
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), f.begin() + at));
        int last = 0;  // tags in ascending order
        for (auto& [tag, _] : t) EXPECT_GT(tag, last), last = tag;
    }
}

TEST(Tiff, RefusesWhatItCannotEncode) {
    uint8_t px[4] = {};
    EXPECT_TRUE(EncodeTiff(0, 1, 1, px).empty());
    EXPECT_TRUE(EncodeTiff(1, 1, 4, px).empty());
    EXPECT_TRUE(EncodeTiff(1, 1, 1, nullptr).empty());
}

TEST(Trace, LineFormat) {
    int x = 0;
    struct Case { std::string line, expected; };
    const Case cases[] = {
        {TraceLine("MappAlloc").Int(0x10000000).Pointer(nullptr).str(), "MappAlloc 268435456 0"},
        {TraceLine("MdigReference").Int(3).Int(static_cast<long>(0x80000FA3u)).Int(255).str(), "MdigReference 3 -2147479645 255"},
        {TraceLine("MgenLutRamp").Int(9).Int(0).Double(0).Int(255).Double(127.5).str(), "MgenLutRamp 9 0 0 255 127.5"},
        {TraceLine("MsysAlloc").Text("\\\\.\\M_SYSTEM_ORION").Int(0).Pointer(&x).str(), "MsysAlloc \"\\\\.\\M_SYSTEM_ORION\" 0 1"},
        {TraceLine("MbufSave").Text(nullptr).Int(4).str(), "MbufSave 0 4"},
        {TraceLine("MdigControl").Int(2).Int(1).Double(1e10).str(), "MdigControl 2 1 1e+10"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.line, c.expected);
}

TEST(Trace, AppendsOneLinePerCall) {
    const std::string path = testing::TempDir() + "orionsim_trace_unit.txt";
    std::remove(path.c_str());
    ASSERT_TRUE(AppendTraceLine(path, "A 1"));
    ASSERT_TRUE(AppendTraceLine(path, "B \"x\""));
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "A 1\nB \"x\"\n");
    in.close();
    std::remove(path.c_str());
}

TEST(Config, DefaultsWithAnEmptyEnvironment) {
    Config c = ReadConfig([](const char*) { return std::optional<std::string>(); });
    EXPECT_EQ(c.boardType, 40);
    EXPECT_EQ(c.boardRevision, 1);
    EXPECT_EQ(c.memoryKb, 65536u);
    EXPECT_TRUE(c.rejectFormats.empty());
    EXPECT_FALSE(c.colorMode);
    EXPECT_STREQ(c.colorFormat->name, "M_BGR32");
    EXPECT_FALSE(c.frameMs);
    EXPECT_EQ(c.pattern, PatternKind::Live);
    EXPECT_FALSE(c.frameStamp);
    EXPECT_EQ(c.noise, 0);
    EXPECT_EQ(c.faults, 0u);
}

TEST(Config, ValuesAndBadValues) {
    std::map<std::string, std::string> env = {
        {"ORIONSIM_BOARD_TYPE", "41"},        {"ORIONSIM_BOARD_REVISION", "0x10"},
        {"ORIONSIM_MEMORY_KB", "bogus"},      {"ORIONSIM_REJECT_FORMATS", " m_pal , M_NTSC_RGB,,"},
        {"ORIONSIM_MORE_FORMATS", "m_ccir_cam"},
        {"ORIONSIM_COLOR_MODE", "1024"},      {"ORIONSIM_BUFFER_FORMAT", "m_xbgr32"},
        {"ORIONSIM_FRAME_MS", "0"},           {"ORIONSIM_PATTERN", "Gradient"},
        {"ORIONSIM_FRAME_STAMP", "1"},       {"ORIONSIM_NOISE", "8"},
        {"ORIONSIM_FAIL", "MsysAlloc, hostaddress,unknown"},
    };
    Config c = ReadConfig([&](const char* n) -> std::optional<std::string> {
        auto it = env.find(n);
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    });
    EXPECT_EQ(c.boardType, 41);
    EXPECT_EQ(c.boardRevision, 16);
    EXPECT_EQ(c.memoryKb, 65536u);
    EXPECT_EQ(c.rejectFormats, (std::vector<std::string>{"M_PAL", "M_NTSC_RGB"}));
    EXPECT_EQ(c.moreFormats, std::vector<std::string>{"M_CCIR_CAM"});
    EXPECT_EQ(c.colorMode.value_or(-1), 1024);
    EXPECT_STREQ(c.colorFormat->name, "M_XBGR32");
    EXPECT_EQ(c.frameMs.value_or(-1), 0);
    EXPECT_EQ(c.pattern, PatternKind::Gradient);
    EXPECT_TRUE(c.frameStamp);
    EXPECT_EQ(c.noise, 8);
    EXPECT_EQ(c.faults, unsigned(kFaultMsysAlloc | kFaultHostAddress));
}

TEST(Config, ParseLong) {
    EXPECT_EQ(ParseLong("12").value_or(-1), 12);
    EXPECT_EQ(ParseLong(" -3 ").value_or(0), -3);
    EXPECT_EQ(ParseLong("0x1029").value_or(0), 4137);
    EXPECT_FALSE(ParseLong(""));
    EXPECT_FALSE(ParseLong("12x"));
    EXPECT_FALSE(ParseLong("99999999999"));
}

}  // namespace
