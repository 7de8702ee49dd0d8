// The file encoders of the Windows Imaging Component (windowscodecs.dll):
// every file a transfer writes but the board library's own save is encoded
// by them. An image is handed over as the sample stream of the memory
// transfer turned blue first (rows top first, 1 byte a grey pixel, 3 a
// colour one: blue, green, red), the order the encoders take, and comes
// back as the bytes of a file carrying the image's resolution.
//
// COM is initialised on the calling thread for the length of a call when
// the thread has not done it itself, and the factory is made at the first
// image and kept until ReleaseImageCodecs (at close).
#pragma once

#include <cstddef>
#include <cstdint>

#include "twain/allocation.h"

enum class ImageFileKind { Bmp, Tiff, Png, Jpeg };

struct CodecImage {
    const uint8_t* Samples;  // blue first, rows top first, no padding
    uint32_t Width;
    uint32_t Height;
    uint32_t SamplesPerPixel;  // 1 or 3
};

// Whether the encoders can be had. The first call of a load of the module
// makes a factory and lets it go; later calls answer what it found. When it
// cannot be made, the reason is logged once.
bool ImageCodecsAvailable();

// The file of `image` in `kind` into `bytes` (`size` of them): a TIFF
// uncompressed, a grey BMP in 8-bit indices through a grey table. `quality`
// (0 to 100) is for JPEG only. 0, or 1 with nothing handed over.
uint16_t EncodeImage(ImageFileKind kind, const CodecImage& image, int quality, OwnedArray<uint8_t>& bytes,
                     size_t& size);

// Lets go of the factory (at close).
void ReleaseImageCodecs();
