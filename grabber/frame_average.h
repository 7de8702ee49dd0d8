// Averaged frames: each delivered image the rounded mean of up to 64
// consecutive frames, byte by byte over the whole image buffer, so every
// pixel type, packing and region of it is averaged alike. Pure byte work,
// no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t MaxAveragedFrames = 64;

// 64 frames of 255 sum to 16320: 16-bit sums hold them, at half the memory
// and bandwidth of 32-bit ones.
void ClearFrameSums(uint16_t* sums, size_t bytes);
void AddFrame(uint16_t* sums, const uint8_t* frame, size_t bytes);
// The rounded mean of `frames` (1 to MaxAveragedFrames) frames, halves up.
void WriteFrameMean(uint8_t* frame, const uint16_t* sums, size_t bytes, uint32_t frames);
