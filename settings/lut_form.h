// The stored form of the input look-up table curves ("LutValues") and the
// straight segments a curve is programmed with. Plain byte logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct LutNode {
    int32_t X;  // input level
    int32_t Y;  // output level
};

// Header word H: shared form n << 24 (recognised by H > 0x00FFFFFF), else
// per-channel nR << 16 | nG << 8 | nB.
constexpr uint32_t SharedLutForm(uint32_t n)
{
    return n << 24;
}
constexpr uint32_t PerChannelLutForm(uint32_t red, uint32_t green, uint32_t blue)
{
    return red << 16 | green << 8 | blue;
}
constexpr bool IsSharedLutForm(uint32_t header)
{
    return header > 0x00FFFFFFu;
}
// The number of nodes the header announces.
constexpr uint32_t LutNodeCount(uint32_t header)
{
    return IsSharedLutForm(header) ? header >> 24 : (header & 0xFF) + (header >> 8 & 0xFF) + (header >> 16 & 0xFF);
}

// One byte carries each count.
constexpr size_t MaxNodesPerCurve = 255;

// The default value: shared form, (0,0) (128,128) (255,255).
extern const uint8_t DefaultLutValues[10];

// Splits a stored value into its header and node bytes. False, touching
// nothing, when the value is not exactly 4 + 2n bytes for the n its header
// announces: such a value was not written by the source and is not read.
bool ParseLutValues(const uint8_t* data, size_t size, uint32_t& header, std::vector<uint8_t>& nodes);

// Header, then the node bytes, little-endian.
std::vector<uint8_t> EncodeLutValues(uint32_t header, const std::vector<uint8_t>& nodes);

// Node bytes (x, y per node) from a curve, each level cut to one byte.
std::vector<uint8_t> NodeBytes(const std::vector<LutNode>& curve);

// The straight lines a curve is drawn with, from its node bytes as
// NodeBytes hands them out: one per pair of consecutive nodes; a curve of
// fewer than two nodes has none.
struct LutRamp {
    int32_t StartIndex;
    double StartValue;
    int32_t EndIndex;
    double EndValue;
};
std::vector<LutRamp> RampSegments(const std::vector<uint8_t>& nodeBytes);
