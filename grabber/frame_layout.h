// How the board lays a grabbed frame out in its image buffer, and which image
// of it the transfers deliver. Plain data.
#pragma once

#include <cstdint>

struct FrameLayout {
    // The image delivered: Width x Height pixels from column Left and row Top
    // of the frame, which is FrameWidth x FrameHeight (0: the image's own
    // size, the whole frame delivered). A region is an offset and a row
    // length in each conversion, not a copy of its own.
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t Left = 0;
    uint32_t Top = 0;
    uint32_t FrameWidth = 0;
    uint32_t FrameHeight = 0;
    uint32_t BandCount = 0;    // 1 or 3, one byte each
    uint32_t BitsPerBand = 8;
    bool FourBytePixels = false;  // each pixel takes 4 bytes, the fourth unused
    bool BgrOrder = false;        // colour bytes blue first
    bool Color = false;
    // Samples of each delivered pixel: 1 grey, 3 red-green-blue; 0 delivers
    // what the frame holds. Colour turns grey as luma, grey turns colour by
    // repeating the sample.
    uint32_t Samples = 0;
};
