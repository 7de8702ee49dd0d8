#include "settings/setup_block.h"

#include <cstring>

#include "settings/source_settings.h"
#include "twain/little_endian.h"

namespace {

const uint8_t Tag[4] = {'T', 'V', 'S', 'U'};
constexpr size_t ChecksumOffset = SetupBlockBytes - 4;


// The 32-bit fields from the channel on, in their order in the block.
template <typename Record>
auto Words(Record& r)
{
    struct List {
        decltype(&r.Channel) At[11];
    };
    return List{{&r.Channel, &r.Brightness, &r.Contrast, &r.Hue, &r.Saturation, &r.BlackRef[0], &r.BlackRef[1],
                 &r.BlackRef[2], &r.WhiteRef[0], &r.WhiteRef[1], &r.WhiteRef[2]}};
}

template <typename Record>
auto Geometry(Record& r)
{
    struct List {
        decltype(&r.FrameWidth) At[6];
    };
    return List{{&r.FrameWidth, &r.FrameHeight, &r.RegionLeft, &r.RegionTop, &r.RegionWidth, &r.RegionHeight}};
}

bool ValuesInRange(const SetupRecord& r)
{
    if (r.Format[sizeof r.Format - 1] != '\0' || !IsSetupFormat(r.Format)) {
        return false;
    }
    // A channel is one selector bit of the digitizer's.
    if (r.Channel == 0 || (r.Channel & (r.Channel - 1)) != 0) {
        return false;
    }
    const auto words = Words(r);
    for (size_t i = 1; i < 11; ++i) {
        if (*words.At[i] > 255) {
            return false;
        }
    }
    if (r.PixelType != 1 && r.PixelType != 2) {  // TWPT_GRAY, TWPT_RGB
        return false;
    }
    // A frame TW_FIX32 can describe, and a region within it.
    if (r.FrameWidth == 0 || r.FrameHeight == 0 || r.FrameWidth > 32767 || r.FrameHeight > 32767) {
        return false;
    }
    if (r.RegionWidth == 0) {
        if (r.RegionLeft != 0 || r.RegionTop != 0 || r.RegionHeight != 0) {
            return false;
        }
    } else if (r.RegionHeight == 0 || r.RegionLeft >= r.FrameWidth || r.RegionTop >= r.FrameHeight ||
               r.RegionWidth > r.FrameWidth - r.RegionLeft || r.RegionHeight > r.FrameHeight - r.RegionTop) {
        return false;
    }
    if (r.LutBytes > MaxLutValueBytes) {
        return false;
    }
    for (size_t i = r.LutBytes; i < MaxLutValueBytes; ++i) {
        if (r.Lut[i] != 0) {
            return false;
        }
    }
    uint32_t header = 0;
    const uint8_t* nodes = nullptr;
    size_t nodeBytes = 0;
    return r.LutBytes == 0 || ParseLutValues(r.Lut, r.LutBytes, header, nodes, nodeBytes);
}

}  // namespace

bool IsSetupFormat(const char* name)
{
    for (const char* format : VideoFormatNames) {
        if (std::strcmp(format, name) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t SetupChecksum(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
        }
    }
    return ~crc;
}

void WriteSetupBlock(const SetupRecord& record, uint8_t* out)
{
    std::memset(out, 0, SetupBlockBytes);
    std::memcpy(out, Tag, sizeof Tag);
    PutU16(out + 4, SetupBlockVersion);
    PutU32(out + 6, static_cast<uint32_t>(SetupBlockBytes));
    std::memcpy(out + 10, record.Format, sizeof record.Format);
    uint8_t* at = out + 42;
    const auto words = Words(record);
    const auto geometry = Geometry(record);
    for (const uint32_t* word : words.At) {
        PutU32(at, *word);
        at += 4;
    }
    PutU16(at, record.PixelType);
    at += 2;
    for (const uint32_t* word : geometry.At) {
        PutU32(at, *word);
        at += 4;
    }
    PutU32(at, record.LutBytes);
    std::memcpy(at + 4, record.Lut, sizeof record.Lut);
    PutU32(out + ChecksumOffset, SetupChecksum(out, ChecksumOffset));
}

bool ReadSetupBlock(const uint8_t* data, size_t size, SetupRecord& record)
{
    if (data == nullptr || size != SetupBlockBytes || std::memcmp(data, Tag, sizeof Tag) != 0 ||
        GetU16(data + 4) != SetupBlockVersion || GetU32(data + 6) != SetupBlockBytes ||
        GetU32(data + ChecksumOffset) != SetupChecksum(data, ChecksumOffset)) {
        return false;
    }
    SetupRecord read;
    std::memcpy(read.Format, data + 10, sizeof read.Format);
    const uint8_t* at = data + 42;
    const auto words = Words(read);
    const auto geometry = Geometry(read);
    for (uint32_t* word : words.At) {
        *word = GetU32(at);
        at += 4;
    }
    read.PixelType = GetU16(at);
    at += 2;
    for (uint32_t* word : geometry.At) {
        *word = GetU32(at);
        at += 4;
    }
    read.LutBytes = GetU32(at);
    std::memcpy(read.Lut, at + 4, sizeof read.Lut);
    if (!ValuesInRange(read)) {
        return false;
    }
    record = read;
    return true;
}
