#include "settings/lut_form.h"

#include <algorithm>

#include "twain/little_endian.h"

const uint8_t DefaultLutValues[10] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x80, 0x80, 0xFF, 0xFF};

bool ParseLutValues(const uint8_t* data, size_t size, uint32_t& header, std::vector<uint8_t>& nodes)
{
    if (data == nullptr || size < 4) {
        return false;
    }
    const uint32_t word = GetU32(data);
    if (size != 4 + 2 * size_t{LutNodeCount(word)}) {
        return false;
    }
    header = word;
    nodes.assign(data + 4, data + size);
    return true;
}

std::vector<uint8_t> EncodeLutValues(uint32_t header, const std::vector<uint8_t>& nodes)
{
    std::vector<uint8_t> value(4 + nodes.size());
    PutU32(value.data(), header);
    std::copy(nodes.begin(), nodes.end(), value.begin() + 4);
    return value;
}

std::vector<uint8_t> NodeBytes(const std::vector<LutNode>& curve)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(curve.size() * 2);
    for (const LutNode& node : curve) {
        bytes.push_back(static_cast<uint8_t>(node.X));
        bytes.push_back(static_cast<uint8_t>(node.Y));
    }
    return bytes;
}

std::vector<LutRamp> RampSegments(const std::vector<uint8_t>& nodeBytes)
{
    std::vector<LutRamp> ramps;
    for (size_t i = 2; i + 1 < nodeBytes.size(); i += 2) {
        ramps.push_back({nodeBytes[i - 2], static_cast<double>(nodeBytes[i - 1]), nodeBytes[i],
                         static_cast<double>(nodeBytes[i + 1])});
    }
    return ramps;
}
