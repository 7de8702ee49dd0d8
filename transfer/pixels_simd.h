// Byte shuffles for the colour conversions, sixteen bytes a step, on
// processors that have them (SSSE3). Each answers how many pixels it did,
// from the first; the caller does the rest byte by byte. Without the
// instructions they do nothing and answer 0.
#pragma once

#include <cstddef>
#include <cstdint>

bool HaveByteShuffles();

// 4-byte pixels to 3-byte red, green, blue; `blueFirst` tells the order of
// the source pixel.
size_t ShuffleFourToThree(const uint8_t* source, uint8_t* destination, size_t pixels, bool blueFirst);

// Bytes 0 and 2 of each 3-byte or 4-byte pixel exchanged (the fourth byte
// kept).
size_t ShuffleSwapThree(const uint8_t* source, uint8_t* destination, size_t pixels);
size_t ShuffleSwapFour(const uint8_t* source, uint8_t* destination, size_t pixels);
