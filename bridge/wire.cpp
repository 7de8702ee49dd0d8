// The shapes of the triplets the 32-bit source answers, and the checks the
// 64-bit side runs over everything the host writes.
#include "bridge/wire.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr uint32_t Control = 0x0001;
constexpr uint32_t Image = 0x0002;

const WireShape Shapes[] = {
    {Control, 0x0001, WireKind::Capability, sizeof(WireCapability)},        // DAT_CAPABILITY
    {Control, 0x0003, WireKind::Bytes, IdentityBytes},                      // DAT_IDENTITY
    {Control, 0x0005, WireKind::Bytes, 6},                                  // DAT_PENDINGXFERS
    {Control, 0x0006, WireKind::Bytes, 12},                                 // DAT_SETUPMEMXFER
    {Control, 0x0007, WireKind::Bytes, 260},                                // DAT_SETUPFILEXFER
    {Control, 0x0008, WireKind::Bytes, 4},                                  // DAT_STATUS
    {Control, 0x0009, WireKind::UserInterface, sizeof(WireUserInterface)},  // DAT_USERINTERFACE
    {Control, 0x000A, WireKind::Bytes, 4},                                  // DAT_XFERGROUP
    {Control, 0x000C, WireKind::CustomData, sizeof(WireCustomDsData)},      // DAT_CUSTOMDSDATA
    {Image, 0x0101, WireKind::Bytes, 42},                                   // DAT_IMAGEINFO
    {Image, 0x0102, WireKind::Bytes, 28},                                   // DAT_IMAGELAYOUT
    {Image, 0x0103, WireKind::MemXfer, sizeof(WireImageMemXfer)},           // DAT_IMAGEMEMXFER
    {Image, 0x0104, WireKind::NativeXfer, 0},                               // DAT_IMAGENATIVEXFER
    {Image, 0x010B, WireKind::ExtImageInfo, 4 + WireInfoRoom * sizeof(WireInfo)},  // DAT_EXTIMAGEINFO
};

constexpr uint32_t BitmapHeaderBytes = 40;

uint32_t Word32(const uint8_t* at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t Word16(const uint8_t* at)
{
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// TWAIN's item sizes, as an application reads the items.
uint32_t PublishedItemSize(uint16_t itemType)
{
    switch (itemType) {
    case TWTY_INT8: case TWTY_UINT8: return 1;
    case TWTY_INT16: case TWTY_UINT16: case TWTY_BOOL: return 2;
    case TWTY_INT32: case TWTY_UINT32: case TWTY_FIX32: return 4;
    case TWTY_FRAME: return 16;
    case TWTY_STR32: return 34;
    case TWTY_STR64: return 66;
    case TWTY_STR128: return 130;
    case TWTY_STR255: return 256;
    default: return 0;
    }
}

}  // namespace

WireShape FindWireShape(uint32_t dg, uint16_t dat)
{
    for (const WireShape& shape : Shapes) {
        if (shape.DG == dg && shape.DAT == dat) {
            return shape;
        }
    }
    return {dg, dat, WireKind::None, 0};
}

bool FormatHostArguments(const HostArguments& a, char* text, size_t size)
{
    const int written = std::snprintf(text, size, "%" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32 " %" PRIu32,
                                      a.Section, a.RequestEvent, a.AnswerEvent, a.Parent, a.NoticeWindow);
    return written > 0 && static_cast<size_t>(written) < size;
}

bool ParseHostArguments(const char* text, HostArguments& a)
{
    // Unsigned conversions would take a sign and wrap a negative number.
    for (const char* c = text; *c != '\0'; ++c) {
        if ((*c < '0' || *c > '9') && *c != ' ') {
            return false;
        }
    }
    int consumed = 0;
    if (std::sscanf(text, "%" SCNu32 " %" SCNu32 " %" SCNu32 " %" SCNu32 " %" SCNu32 "%n", &a.Section, &a.RequestEvent, &a.AnswerEvent, &a.Parent, &a.NoticeWindow,
                    &consumed) != 5) {
        return false;
    }
    return text[consumed] == '\0' && a.Section != 0 && a.RequestEvent != 0 && a.AnswerEvent != 0 &&
           a.Parent != 0;
}

bool AnswerFits(const WireShape& shape, uint32_t sentLength, uint32_t dataLength, uint32_t extraLength)
{
    const bool carriesBlock = shape.Kind == WireKind::Capability || shape.Kind == WireKind::CustomData;
    if (extraLength > BridgeExtraRoom || (extraLength != 0 && !carriesBlock)) {
        return false;
    }
    return dataLength == sentLength && dataLength <= shape.Size;
}

void StripFieldsToWire(const TW_IMAGEMEMXFER& xfer, WireImageMemXfer& wire)
{
    wire.Compression = xfer.Compression;
    wire.BytesPerRow = xfer.BytesPerRow;
    wire.Columns = xfer.Columns;
    wire.Rows = xfer.Rows;
    wire.XOffset = xfer.XOffset;
    wire.YOffset = xfer.YOffset;
    wire.BytesWritten = xfer.BytesWritten;
}

void StripFieldsFromWire(const WireImageMemXfer& wire, TW_IMAGEMEMXFER& xfer)
{
    xfer.Compression = wire.Compression;
    xfer.BytesPerRow = wire.BytesPerRow;
    xfer.Columns = wire.Columns;
    xfer.Rows = wire.Rows;
    xfer.XOffset = wire.XOffset;
    xfer.YOffset = wire.YOffset;
    xfer.BytesWritten = wire.BytesWritten;
}

bool StripFits(uint32_t length, uint32_t bytesWritten, uint32_t room)
{
    return length == bytesWritten && length <= room;
}

bool BitmapFits(uint32_t length, uint32_t limit)
{
    return length >= BitmapHeaderBytes && length <= limit;
}

bool BitmapHeaderFits(const uint8_t* bitmap, uint32_t length)
{
    if (length < BitmapHeaderBytes) {
        return false;
    }
    const uint32_t headerSize = Word32(bitmap);
    const auto width = static_cast<int32_t>(Word32(bitmap + 4));
    const auto height = static_cast<int32_t>(Word32(bitmap + 8));
    const uint16_t bitCount = Word16(bitmap + 14);
    const uint32_t colorsUsed = Word32(bitmap + 32);
    if (headerSize < BitmapHeaderBytes || width <= 0 || height == 0 || height == INT32_MIN || bitCount == 0 ||
        bitCount > 32) {
        return false;
    }
    const uint64_t colors = colorsUsed != 0 ? colorsUsed : bitCount <= 8 ? (1u << bitCount) : 0;
    const uint64_t stride = (uint64_t{static_cast<uint32_t>(width)} * bitCount + 31) / 32 * 4;
    const uint64_t rows = static_cast<uint64_t>(height < 0 ? -static_cast<int64_t>(height) : height);
    return headerSize + colors * 4 + stride * rows <= length;
}

bool ContainerFits(uint16_t conType, const uint8_t* container, uint32_t length)
{
    if (length < 2) {
        return false;
    }
    const uint32_t itemSize = PublishedItemSize(Word16(container));
    if (itemSize == 0) {
        return false;
    }
    uint64_t header = 0;
    switch (conType) {
    case TWON_ONEVALUE:  // the item, in at least the four bytes of its field
        return length >= 2 + (itemSize < 4 ? 4 : itemSize);
    case TWON_RANGE:
        return length >= 22;
    case TWON_ARRAY:
        header = 6;
        break;
    case TWON_ENUMERATION:
        header = 14;
        break;
    default:
        return false;
    }
    if (length < header) {
        return false;
    }
    return header + uint64_t{Word32(container + 2)} * itemSize <= length;
}

bool CustomDataFits(const WireCustomDsData& data, uint32_t length)
{
    return data.InfoLength <= length;
}

bool BlockAnswered(const WireShape& shape, uint16_t msg, uint16_t returnCode, uint32_t extraLength)
{
    if (returnCode != TWRC_SUCCESS || extraLength != 0) {
        return true;
    }
    // A set hands nothing back, nor does TWAIN 2's reset of every capability.
    if (shape.Kind == WireKind::Capability) {
        return msg == MSG_SET || msg == MSG_RESETALL;
    }
    return shape.Kind != WireKind::CustomData || msg != MSG_GET;
}

bool StripDescribed(const WireImageMemXfer& strip)
{
    return strip.BytesWritten != 0 && strip.BytesPerRow != 0 &&
           uint64_t{strip.BytesPerRow} * strip.Rows == strip.BytesWritten &&
           uint64_t{strip.XOffset} + strip.Columns <= strip.BytesPerRow;
}
