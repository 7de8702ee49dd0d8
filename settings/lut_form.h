// The stored form of the input look-up table curves ("LutValues") and the
// straight segments a curve is programmed with. Plain byte logic.
#pragma once

#include <cstddef>
#include <cstdint>

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

// One byte carries each count: a curve holds at most this many nodes.
constexpr size_t MaxNodesPerCurve = 255;

// The default value: shared form, (0,0) (128,128) (255,255).
extern const uint8_t DefaultLutValues[10];

// The longest stored value: the header and three full curves. Values are
// built in fixed buffers: settings are read and saved where a failed
// allocation has nobody to report to.
constexpr size_t MaxLutValueBytes = 4 + 3 * 2 * MaxNodesPerCurve;

// One curve's nodes as the stored form carries them: x, y a node.
struct CurveBytes {
    size_t Size = 0;
    uint8_t Bytes[2 * MaxNodesPerCurve] = {};
};

// Splits a stored value into its header and node bytes (`nodes` points into
// `data`). False, touching nothing, when the value is not exactly 4 + 2n
// bytes for the n its header announces: such a value was not written by the
// source and is not read.
bool ParseLutValues(const uint8_t* data, size_t size, uint32_t& header, const uint8_t*& nodes, size_t& nodeBytes);

// Header, then the node bytes, little-endian, into `out` (MaxLutValueBytes);
// the bytes written. The caller keeps `nodeBytes` within three curves.
size_t EncodeLutValues(uint32_t header, const uint8_t* nodes, size_t nodeBytes, uint8_t* out);

// The straight lines a curve is drawn with, from its node bytes: one per
// pair of consecutive nodes; a curve of fewer than two nodes has none.
struct LutRamp {
    int32_t StartIndex;
    double StartValue;
    int32_t EndIndex;
    double EndValue;
};
size_t RampCount(const CurveBytes& curve);
LutRamp RampSegment(const CurveBytes& curve, size_t index);  // index < RampCount
