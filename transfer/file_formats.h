// The headers of the image files a file transfer writes itself: a BMP file
// is a 14-byte file header followed by the standard bitmap of the native
// transfer; a TIFF is a little-endian baseline file with one uncompressed
// strip of 8-bit samples (grey or chunky red-green-blue) after its header.
// Both carry the image's resolution (transfer/pixels.h). Pure byte work.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t BmpFileHeaderSize = 14;

// "BM", the file size, and where the rows begin (`pixelOffset` bytes into
// the `bitmapBytes` of the bitmap that follows).
void WriteBmpFileHeader(uint8_t* out, size_t bitmapBytes, size_t pixelOffset);

// Bytes of the TIFF header and directory for 1 or 3 samples; the strip
// follows at this offset.
size_t TiffHeaderSize(uint32_t samplesPerPixel);
void WriteTiffHeader(uint8_t* out, uint32_t width, uint32_t height, uint32_t samplesPerPixel);

// Sets the resolution of a little-endian TIFF another writer made (the
// imaging library's save) to the image's, in inches: the XResolution and
// YResolution rationals of its first directory and its ResolutionUnit.
// Answers how many bytes from the file's start hold every change (what must
// be written back); 0, with nothing changed, when the file has no such
// rationals.
size_t SetTiffResolution(uint8_t* file, size_t size);
