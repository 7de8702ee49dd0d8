// Uncompressed baseline TIFF writer (little-endian, one strip).
#pragma once

#include <cstdint>
#include <vector>

namespace orionsim {

// Encodes width x height pixels of `samplesPerPixel` bytes each (1: grey,
// 0 is black; 3: red, green, blue), rows top first with no gap.
// Returns an empty vector for sizes it cannot encode.
std::vector<uint8_t> EncodeTiff(int width, int height, int samplesPerPixel, const uint8_t* samples);

}  // namespace orionsim
