#include "settings/lut_form.h"

#include <cstring>

#include "twain/little_endian.h"

const uint8_t DefaultLutValues[10] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x80, 0x80, 0xFF, 0xFF};

bool ParseLutValues(const uint8_t* data, size_t size, uint32_t& header, const uint8_t*& nodes, size_t& nodeBytes)
{
    if (data == nullptr || size < 4) {
        return false;
    }
    const uint32_t word = GetU32(data);
    if (size != 4 + 2 * size_t{LutNodeCount(word)}) {
        return false;
    }
    header = word;
    nodes = data + 4;
    nodeBytes = size - 4;
    return true;
}

size_t EncodeLutValues(uint32_t header, const uint8_t* nodes, size_t nodeBytes, uint8_t* out)
{
    PutU32(out, header);
    if (nodeBytes != 0) {
        std::memcpy(out + 4, nodes, nodeBytes);
    }
    return 4 + nodeBytes;
}

size_t RampCount(const CurveBytes& curve)
{
    return curve.Size < 4 ? 0 : curve.Size / 2 - 1;
}

LutRamp RampSegment(const CurveBytes& curve, size_t index)
{
    const uint8_t* from = curve.Bytes + 2 * index;
    return {from[0], static_cast<double>(from[1]), from[2], static_cast<double>(from[3])};
}
