#include "render.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numbers>

namespace orionsim {

namespace {

const BufferFormat kColorFormats[] = {
    {"M_BGR32", kFormatBgr32 | kFormatPacked, PixelLayout::Bgrx32},
    {"M_RGB32", kFormatRgb32 | kFormatPacked, PixelLayout::Rgbx32},
    // The X formats carry red first: readers that classify them by the
    // 0x3F00 code alone treat both as red-first 4-byte pixels.
    {"M_XRGB32", kFormatXrgb32 | kFormatPacked, PixelLayout::Rgbx32},
    {"M_XBGR32", kFormatXbgr32 | kFormatPacked, PixelLayout::Rgbx32},
    {"M_RGB24", kFormatRgb24 | kFormatPacked, PixelLayout::Rgb24},
    {"M_BGR24", kFormatBgr24 | kFormatPacked, PixelLayout::Bgr24},
};

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

uint8_t Clamp8(long v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// floor(n / d) for d > 0.
long FloorDiv(long n, long d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }

// 75 % colour bars, left to right.
constexpr uint8_t kBars[8][3] = {
    {191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
    {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0},
};

// 5 x 7 digits, one byte per row, bit 4 leftmost.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
};
constexpr int kCounterDigits = 6;
constexpr int kGlyphScale = 3;
constexpr int kGlyphAdvance = 6 * kGlyphScale;
constexpr int kCounterPad = 4;

struct LiveGeometry {
    int barsEnd;                   // first row of the ramp
    int box, boxTop;               // moving square size and top row
    int counterLeft, counterTop;   // counter box (with padding)
    int counterWidth, counterHeight;
};

LiveGeometry Geometry(int width, int height) {
    LiveGeometry g{};
    g.barsEnd = height * 2 / 3;
    g.box = std::max(4, height / 8);
    g.boxTop = g.barsEnd + std::max(0, (height - g.barsEnd - g.box) / 2);
    g.counterWidth = kCounterDigits * kGlyphAdvance + 2 * kCounterPad;
    g.counterHeight = 7 * kGlyphScale + 2 * kCounterPad;
    g.counterLeft = 8;
    g.counterTop = std::max(0, height - 8 - g.counterHeight);
    (void)width;
    return g;
}

}  // namespace

int BytesPerPixel(PixelLayout layout) {
    switch (layout) {
    case PixelLayout::Mono8: return 1;
    case PixelLayout::Rgb24:
    case PixelLayout::Bgr24: return 3;
    case PixelLayout::Rgbx32:
    case PixelLayout::Bgrx32: return 4;
    }
    return 1;
}

const BufferFormat* FindColorBufferFormat(std::string_view name) {
    for (const auto& f : kColorFormats) {
        if (EqualNoCase(name, f.name)) return &f;
    }
    return nullptr;
}

const BufferFormat& DefaultColorBufferFormat() { return kColorFormats[0]; }

std::array<std::array<uint8_t, 256>, 3> Adjustments::IdentityLuts() {
    std::array<std::array<uint8_t, 256>, 3> t{};
    for (auto& band : t) {
        for (int i = 0; i < 256; ++i) band[i] = static_cast<uint8_t>(i);
    }
    return t;
}

uint8_t ReferenceLevel(int v, int black, int white) {
    if (white <= black) return v >= black ? 255 : 0;
    if (v <= black) return 0;
    if (v >= white) return 255;
    const long n = static_cast<long>(v - black) * 255;
    const long d = white - black;
    return Clamp8((2 * n + d) / (2 * d));  // nearest, halves up
}

uint8_t BrightnessContrastLevel(int v, int brightness, int contrast) {
    const long t = static_cast<long>(v - 128) * contrast;
    return Clamp8(128 + FloorDiv(t + 64, 128) + (brightness - 128));
}

bool FillRamp(uint8_t* table, long size, long i0, double v0, long i1, double v1) {
    if (!table || i0 < 0 || i1 < 0 || i0 >= size || i1 >= size) return false;
    if (!std::isfinite(v0) || !std::isfinite(v1)) return false;
    if (i0 > i1) {
        std::swap(i0, i1);
        std::swap(v0, v1);
    }
    if (i0 == i1) {
        table[i1] = Clamp8(static_cast<long>(std::floor(std::clamp(v1, -1.0, 256.0) + 0.5)));
        return true;
    }
    for (long i = i0; i <= i1; ++i) {
        const double v = v0 + (v1 - v0) * static_cast<double>(i - i0) / static_cast<double>(i1 - i0);
        table[i] = Clamp8(static_cast<long>(std::floor(std::clamp(v, -1.0, 256.0) + 0.5)));
    }
    return true;
}

std::array<std::array<int32_t, 3>, 3> ColorMatrix(int hue, int saturation) {
    const double luma[3] = {0.299, 0.587, 0.114};
    const double s = saturation / 128.0;
    double sat[3][3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) sat[i][j] = (1.0 - s) * luma[j] + (i == j ? s : 0.0);
    }
    const double angle = (hue - 128) * std::numbers::pi / 128.0;
    const double c = std::cos(angle), sn = std::sin(angle);
    const double third = (1.0 - c) / 3.0, r3 = sn / std::sqrt(3.0);
    double rot[3][3];
    for (int i = 0; i < 3; ++i) {
        rot[i][i] = c + third;
        rot[i][(i + 1) % 3] = third - r3;
        rot[i][(i + 2) % 3] = third + r3;
    }
    std::array<std::array<int32_t, 3>, 3> m{};
    for (int i = 0; i < 3; ++i) {
        double sum = 0;
        for (int j = 0; j < 3; ++j) {
            double v = 0;
            for (int k = 0; k < 3; ++k) v += rot[i][k] * sat[k][j];
            m[i][j] = static_cast<int32_t>(std::lround(v * 4096.0));
            sum += m[i][j];
        }
        m[i][i] += 4096 - static_cast<int32_t>(sum);  // keep grey exactly grey
    }
    return m;
}

FrameRenderer::FrameRenderer(int width, int height, int bands, PatternKind pattern)
    : width_(width), height_(height), bands_(bands == 3 ? 3 : 1), pattern_(pattern),
      rowScratch_(static_cast<size_t>(width) * (bands == 3 ? 3 : 1)) {
    BuildBackground();
    SetAdjustments(Adjustments{});
}

void FrameRenderer::BuildBackground() {
    background_.assign(static_cast<size_t>(width_) * height_ * bands_, 0);
    const LiveGeometry g = Geometry(width_, height_);
    uint8_t* p = background_.data();
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            uint8_t rgb[3];
            if (pattern_ == PatternKind::Gradient) {
                rgb[0] = static_cast<uint8_t>(x & 255);
                rgb[1] = static_cast<uint8_t>(y & 255);
                rgb[2] = static_cast<uint8_t>((x + y) & 255);
            } else if (y < g.barsEnd) {
                const auto& bar = kBars[x * 8 / width_];
                if (bands_ == 3) {
                    rgb[0] = bar[0], rgb[1] = bar[1], rgb[2] = bar[2];
                } else {  // the grey wedge: luma of the bars
                    rgb[0] = static_cast<uint8_t>((77 * bar[0] + 150 * bar[1] + 29 * bar[2] + 128) >> 8);
                }
            } else {
                const uint8_t ramp = static_cast<uint8_t>(width_ > 1 ? x * 255 / (width_ - 1) : 0);
                rgb[0] = rgb[1] = rgb[2] = ramp;
            }
            for (int b = 0; b < bands_; ++b) *p++ = rgb[b];
        }
    }
}

void FrameRenderer::DrawOverlays(uint64_t frame, int y, uint8_t* row) const {
    const LiveGeometry g = Geometry(width_, height_);
    auto fill = [&](int x0, int x1, uint8_t v) {
        x0 = std::max(x0, 0);
        x1 = std::min(x1, width_);
        if (x0 < x1) std::memset(row + static_cast<size_t>(x0) * bands_, v, static_cast<size_t>(x1 - x0) * bands_);
    };
    // The moving square sweeps the ramp back and forth, 8 pixels a frame.
    if (y >= g.boxTop && y < g.boxTop + g.box) {
        const long travel = std::max(1, width_ - g.box);
        const long pos = static_cast<long>((frame * 8) % static_cast<uint64_t>(2 * travel));
        const int x0 = static_cast<int>(pos < travel ? pos : 2 * travel - pos);
        const bool edge = y < g.boxTop + 2 || y >= g.boxTop + g.box - 2;
        fill(x0, x0 + g.box, 0);
        if (!edge) fill(x0 + 2, x0 + g.box - 2, 255);
    }
    // The frame counter: white digits in a black box.
    if (y >= g.counterTop && y < g.counterTop + g.counterHeight) {
        fill(g.counterLeft, g.counterLeft + g.counterWidth, 0);
        const int gy = (y - g.counterTop - kCounterPad);
        if (gy >= 0 && gy < 7 * kGlyphScale) {
            uint64_t n = frame;
            for (int d = kCounterDigits - 1; d >= 0; --d, n /= 10) {
                const uint8_t bits = kDigits[n % 10][gy / kGlyphScale];
                const int left = g.counterLeft + kCounterPad + d * kGlyphAdvance;
                for (int bx = 0; bx < 5; ++bx) {
                    if (bits & (0x10 >> bx)) fill(left + bx * kGlyphScale, left + (bx + 1) * kGlyphScale, 255);
                }
            }
        }
    }
}

void FrameRenderer::SetAdjustments(const Adjustments& a) {
    for (int b = 0; b < 3; ++b) {
        for (int v = 0; v < 256; ++v) {
            pre_[b][v] = BrightnessContrastLevel(ReferenceLevel(v, a.black[b], a.white[b]), a.brightness, a.contrast);
            direct_[b][v] = a.lut[b][pre_[b][v]];
        }
        post_[b] = a.lut[b];
    }
    useMatrix_ = bands_ == 3 && (a.hue != 128 || a.saturation != 128);
    if (useMatrix_) {
        const auto m = ColorMatrix(a.hue, a.saturation);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                for (int v = 0; v < 256; ++v) matrix_[i][j][v] = m[i][j] * v + (j == 0 ? 2048 : 0);
            }
        }
    }
}

namespace {

template <PixelLayout L>
inline void Store(uint8_t* d, uint8_t r, uint8_t g, uint8_t b) {
    if constexpr (L == PixelLayout::Mono8) {
        d[0] = r;
        (void)g, (void)b;
    } else if constexpr (L == PixelLayout::Rgb24 || L == PixelLayout::Rgbx32) {
        d[0] = r, d[1] = g, d[2] = b;
        if constexpr (L == PixelLayout::Rgbx32) d[3] = 0;
    } else {
        d[0] = b, d[1] = g, d[2] = r;
        if constexpr (L == PixelLayout::Bgrx32) d[3] = 0;
    }
}

template <PixelLayout L, typename Pixel>
void ConvertRowAs(const uint8_t* scene, uint8_t* dst, int count, int sceneBands, Pixel pixel) {
    constexpr int bpp = L == PixelLayout::Mono8 ? 1 : (L == PixelLayout::Rgb24 || L == PixelLayout::Bgr24 ? 3 : 4);
    for (int x = 0; x < count; ++x, scene += sceneBands, dst += bpp) {
        uint8_t r, g, b;
        pixel(scene, r, g, b);
        Store<L>(dst, r, g, b);
    }
}

template <typename Pixel>
void ConvertRowLayout(PixelLayout layout, const uint8_t* scene, uint8_t* dst, int count, int sceneBands, Pixel pixel) {
    switch (layout) {
    case PixelLayout::Mono8: ConvertRowAs<PixelLayout::Mono8>(scene, dst, count, sceneBands, pixel); break;
    case PixelLayout::Rgb24: ConvertRowAs<PixelLayout::Rgb24>(scene, dst, count, sceneBands, pixel); break;
    case PixelLayout::Bgr24: ConvertRowAs<PixelLayout::Bgr24>(scene, dst, count, sceneBands, pixel); break;
    case PixelLayout::Rgbx32: ConvertRowAs<PixelLayout::Rgbx32>(scene, dst, count, sceneBands, pixel); break;
    case PixelLayout::Bgrx32: ConvertRowAs<PixelLayout::Bgrx32>(scene, dst, count, sceneBands, pixel); break;
    }
}

}  // namespace

void FrameRenderer::ConvertRow(const uint8_t* scene, uint8_t* dst, int count, PixelLayout layout) const {
    if (bands_ == 1) {
        const auto& t = direct_[0];
        ConvertRowLayout(layout, scene, dst, count, 1, [&t](const uint8_t* s, uint8_t& r, uint8_t& g, uint8_t& b) {
            r = g = b = t[s[0]];
        });
    } else if (!useMatrix_) {
        const auto& t = direct_;
        ConvertRowLayout(layout, scene, dst, count, 3, [&t](const uint8_t* s, uint8_t& r, uint8_t& g, uint8_t& b) {
            r = t[0][s[0]], g = t[1][s[1]], b = t[2][s[2]];
        });
    } else {
        ConvertRowLayout(layout, scene, dst, count, 3, [this](const uint8_t* s, uint8_t& r, uint8_t& g, uint8_t& b) {
            const uint8_t a0 = pre_[0][s[0]], a1 = pre_[1][s[1]], a2 = pre_[2][s[2]];
            const auto& m = matrix_;
            r = post_[0][Clamp8((m[0][0][a0] + m[0][1][a1] + m[0][2][a2]) >> 12)];
            g = post_[1][Clamp8((m[1][0][a0] + m[1][1][a1] + m[1][2][a2]) >> 12)];
            b = post_[2][Clamp8((m[2][0][a0] + m[2][1][a1] + m[2][2][a2]) >> 12)];
        });
    }
}

void FrameRenderer::Render(uint64_t frame, uint8_t* dst, int dstWidth, int dstHeight, PixelLayout layout) const {
    if (!dst || dstWidth <= 0 || dstHeight <= 0) return;
    const int rows = std::min(height_, dstHeight);
    const int cols = std::min(width_, dstWidth);
    const size_t sceneStride = static_cast<size_t>(width_) * bands_;
    const size_t dstStride = static_cast<size_t>(dstWidth) * BytesPerPixel(layout);
    const LiveGeometry g = Geometry(width_, height_);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* scene = background_.data() + sceneStride * y;
        const bool overlay = pattern_ == PatternKind::Live &&
                             ((y >= g.boxTop && y < g.boxTop + g.box) ||
                              (y >= g.counterTop && y < g.counterTop + g.counterHeight));
        if (overlay) {
            std::memcpy(rowScratch_.data(), scene, sceneStride);
            DrawOverlays(frame, y, rowScratch_.data());
            scene = rowScratch_.data();
        }
        ConvertRow(scene, dst + dstStride * y, cols, layout);
        if (noise_ > 0) {
            // A xorshift generator seeded by frame and row: cheap, and the
            // same frame always carries the same noise.
            uint64_t state = (frame + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(y) + 1) * 0xBF58476D1CE4E5B9ull;
            const uint32_t span = static_cast<uint32_t>(2 * noise_ + 1);
            uint8_t* out = dst + dstStride * y;
            for (size_t i = 0; i < static_cast<size_t>(cols) * BytesPerPixel(layout); ++i) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                const int v = out[i] + static_cast<int>((state >> 32) % span) - noise_;
                out[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
            }
        }
        if (stamp_ && y < kStampSize) {
            const int bpp = BytesPerPixel(layout);
            const int stampCols = std::min(cols, kStampBits * kStampSize);
            for (int x = 0; x < stampCols; ++x) {
                const uint8_t v = ((frame >> (x / kStampSize)) & 1) != 0 ? 255 : 0;
                std::memset(dst + dstStride * y + static_cast<size_t>(x) * bpp, v, static_cast<size_t>(bpp));
            }
        }
    }
}

void UnpackSamples(const uint8_t* src, int width, int height, PixelLayout layout, uint8_t* samples) {
    const size_t n = static_cast<size_t>(width) * height;
    switch (layout) {
    case PixelLayout::Mono8: std::memcpy(samples, src, n); break;
    case PixelLayout::Rgb24: std::memcpy(samples, src, n * 3); break;
    case PixelLayout::Bgr24:
    case PixelLayout::Rgbx32:
    case PixelLayout::Bgrx32: {
        const int bpp = BytesPerPixel(layout);
        const bool bgr = layout != PixelLayout::Rgbx32;
        for (size_t i = 0; i < n; ++i, src += bpp, samples += 3) {
            samples[0] = bgr ? src[2] : src[0];
            samples[1] = src[1];
            samples[2] = bgr ? src[0] : src[2];
        }
        break;
    }
    }
}

}  // namespace orionsim
