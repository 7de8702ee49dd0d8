// Frame generation for the simulated digitizer: the test pattern, the video
// adjustments (references, brightness, contrast, hue, saturation, input
// look-up table) and the packing into the buffer's pixel layout.
// Pure byte logic: no windows.h, no allocation per frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orionsim {

// How one pixel of an 8-bit image buffer lies in memory.
enum class PixelLayout {
    Mono8,   // 1 byte
    Rgb24,   // R, G, B
    Bgr24,   // B, G, R
    Rgbx32,  // R, G, B, unused
    Bgrx32,  // B, G, R, unused
};

int BytesPerPixel(PixelLayout layout);

// Buffer format codes answered by MbufInquire item 1010.
constexpr long kFormatMono8 = 0x0200;
constexpr long kFormatRgb24 = 0x0800;
constexpr long kFormatRgb32 = 0x0900;
constexpr long kFormatXrgb32 = 0x0A00;
constexpr long kFormatRgbPlanar = 0x0D00;
constexpr long kFormatBgr24 = 0x1000;
constexpr long kFormatBgr32 = 0x1100;
constexpr long kFormatXbgr32 = 0x1200;
constexpr long kFormatPacked = 0x00020000;  // storage flag, outside the 0x3F00 code
constexpr long kFormatPlanar = 0x00040000;

struct BufferFormat {
    const char* name;
    long code;  // includes the storage flag
    PixelLayout layout;
};

// The three-band packed formats selectable with ORIONSIM_BUFFER_FORMAT.
// Returns nullptr for an unknown name (compared without regard to case).
const BufferFormat* FindColorBufferFormat(std::string_view name);
const BufferFormat& DefaultColorBufferFormat();  // M_BGR32

enum class PatternKind { Live, Gradient };

// Video adjustments of a digitizer, all levels 0..255.
struct Adjustments {
    std::array<uint8_t, 3> black{0, 0, 0};
    std::array<uint8_t, 3> white{255, 255, 255};
    uint8_t brightness = 128;
    uint8_t contrast = 128;
    uint8_t hue = 128;
    uint8_t saturation = 128;
    std::array<std::array<uint8_t, 256>, 3> lut = IdentityLuts();

    static std::array<std::array<uint8_t, 256>, 3> IdentityLuts();
    bool operator==(const Adjustments&) const = default;
};

// The per-band level transfer before colour processing: black and white
// references, then contrast around 128 and brightness as an offset.
// Exposed for the tests and the README's formulas.
uint8_t ReferenceLevel(int v, int black, int white);
uint8_t BrightnessContrastLevel(int v, int brightness, int contrast);

// Fills table[i0..i1] (inclusive) with the straight line from v0 to v1,
// rounded to nearest, clamped to 0..255. Indices may come in either order.
// Returns false (writing nothing) when an index is outside 0..size-1 or a
// value is not a finite number.
bool FillRamp(uint8_t* table, long size, long i0, double v0, long i1, double v1);

constexpr int kStampBits = 32;
constexpr int kStampSize = 8;

// Generates frames of one digitizer. Construction and adjustment changes
// rebuild tables; Render then costs one pass over the frame.
class FrameRenderer {
public:
    FrameRenderer(int width, int height, int bands, PatternKind pattern);

    void SetAdjustments(const Adjustments& adjustments);
    // Stamps each frame's number in its top left corner (kStampBits blocks of
    // kStampSize pixels, bit 0 leftmost, white for 1, black for 0, every byte
    // of the pixel), after the adjustments, so that a reader can tell which
    // frame it got whatever the levels.
    void SetFrameStamp(bool on) { stamp_ = on; }
    // Adds noise of up to +-amplitude levels to every byte (0: none), the
    // same for the same frame number, uniform and independent from byte to
    // byte, so that averaging frames measurably brings the picture back.
    void SetNoise(int amplitude) { noise_ = amplitude; }

    // Writes frame number `frame` into dst, a buffer of dstWidth x dstHeight
    // pixels of the given layout, rows top first with no gap. The picture is
    // clipped to the smaller of both sizes. A one-band destination receives
    // band 0 of a colour picture; a colour destination of a monochrome
    // picture receives the grey level in every band.
    void Render(uint64_t frame, uint8_t* dst, int dstWidth, int dstHeight, PixelLayout layout) const;

    int width() const { return width_; }
    int height() const { return height_; }
    int bands() const { return bands_; }

private:
    void BuildBackground();
    void DrawOverlays(uint64_t frame, int y, uint8_t* row) const;
    void ConvertRow(const uint8_t* scene, uint8_t* dst, int count, PixelLayout layout) const;

    int width_, height_, bands_;
    PatternKind pattern_;
    bool stamp_ = false;
    int noise_ = 0;
    std::vector<uint8_t> background_;        // width x height x bands scene
    mutable std::vector<uint8_t> rowScratch_;  // one scene row with overlays
    // Without hue/saturation: direct[band][scene level] = final level.
    std::array<std::array<uint8_t, 256>, 3> direct_{};
    // With hue/saturation: pre (per band), 3x3 fixed-point matrix tables, post (LUT).
    bool useMatrix_ = false;
    std::array<std::array<uint8_t, 256>, 3> pre_{};
    std::array<std::array<std::array<int32_t, 256>, 3>, 3> matrix_{};
    std::array<std::array<uint8_t, 256>, 3> post_{};
};

// The colour matrix (4096 = 1.0) for a hue and saturation level pair: the
// saturation scales the distance from the luma (0.299, 0.587, 0.114), then
// the hue rotates around the grey axis by (hue - 128) * 180 / 128 degrees.
// Every row sums to exactly 4096, so grey stays grey.
std::array<std::array<int32_t, 3>, 3> ColorMatrix(int hue, int saturation);

// Reads a packed buffer back as samples: one byte per pixel for one band,
// else red, green, blue per pixel.
void UnpackSamples(const uint8_t* src, int width, int height, PixelLayout layout, uint8_t* samples);

}  // namespace orionsim
