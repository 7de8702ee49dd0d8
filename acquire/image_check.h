// Reading a delivered image the way a generic application does, and checking
// it against the simulated board's deterministic pattern ("gradient"): red
// (grey on a monochrome board) x mod 256, green y mod 256, blue (x + y) mod
// 256. Pure byte work; every size is checked against the bytes there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Samples top row first: 1 (grey) or 3 (red, green, blue) a pixel. Left
// and Top: where the image lies in the board's frame (a region of it).
struct DecodedImage {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t Samples = 0;
    uint32_t Left = 0;
    uint32_t Top = 0;
    std::vector<uint8_t> Pixels;
};

// A packed device-independent bitmap (header, colour table, rows), as a
// native transfer hands it over: either row order, 8 bits through a grey
// table, 24 or 32 bits blue first.
bool DecodeDib(const uint8_t* dib, size_t size, DecodedImage& image, std::string& error);
// A BMP file: its file header, then a packed bitmap where bfOffBits says.
bool DecodeBmpFile(const uint8_t* file, size_t size, DecodedImage& image, std::string& error);
// An uncompressed little-endian TIFF of 8-bit grey or chunky RGB samples.
bool DecodeTiffFile(const uint8_t* file, size_t size, DecodedImage& image, std::string& error);
// The same for page `page` (0 first) of a multi-page TIFF, and how many
// pages the chain of directories holds.
bool DecodeTiffPage(const uint8_t* file, size_t size, uint32_t page, DecodedImage& image, std::string& error);
uint32_t TiffPageCount(const uint8_t* file, size_t size);

// Whether every pixel is the pattern of a board delivering `boardSamples`
// (1 or 3), at the image's place in the frame; an image of the other kind is compared with the pattern turned
// grey (0.299 R + 0.587 G + 0.114 B, rounded) or the grey repeated. A
// lossy image (JPEG) passes within `meanDifference` levels a sample on
// average; 0 asks for every sample exact.
// With `stamped`, the frame stamp's corner (below) is left out.
bool MatchesPattern(const DecodedImage& image, uint32_t boardSamples, std::string& error, double meanDifference = 0,
                    bool stamped = false);

// The simulated board's frame stamp: each frame's number in the top left
// StampWidth x StampHeight pixels of the frame, 32 blocks of 8 x 8, bit 0
// leftmost, white for 1 and black for 0. An image averaged over `frames`
// frames holds in each block the share of them with that bit set. Sets
// `first` to the first of the consecutive frames the image's stamp says it
// was made of; false (with `error`) when the image does not cover the
// stamp or no run of frames below 2^24 gives it.
constexpr uint32_t StampWidth = 256, StampHeight = 8;
bool ReadFrameStamp(const DecodedImage& image, uint32_t frames, uint32_t& first, std::string& error);
