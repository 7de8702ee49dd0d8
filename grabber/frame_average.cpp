#include "grabber/frame_average.h"

#include <cstring>

void ClearFrameSums(uint16_t* sums, size_t bytes)
{
    std::memset(sums, 0, bytes * sizeof(uint16_t));
}

void AddFrame(uint16_t* sums, const uint8_t* frame, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i) {
        sums[i] = static_cast<uint16_t>(sums[i] + frame[i]);
    }
}

void WriteFrameMean(uint8_t* frame, const uint16_t* sums, size_t bytes, uint32_t frames)
{
    if (frames <= 1) {
        for (size_t i = 0; i < bytes; ++i) {
            frame[i] = static_cast<uint8_t>(sums[i]);
        }
        return;
    }
    // A division per byte costs more than the frame period allows for a
    // colour frame; (sum + frames / 2) times a 2^24 reciprocal, rounded up,
    // gives the same quotient for every sum up to 64 x 255 (checked
    // exhaustively by the tests).
    const uint32_t reciprocal = ((1u << 24) + frames - 1) / frames;
    const uint32_t half = frames / 2;
    for (size_t i = 0; i < bytes; ++i) {
        frame[i] = static_cast<uint8_t>(((sums[i] + half) * reciprocal) >> 24);
    }
}
