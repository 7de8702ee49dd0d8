#include "capability/container_bytes.h"

#include <cstring>
#include <limits>

#include "twain/little_endian.h"

namespace {

// Header plus items plus the two spare bytes, or 0 on overflow.
size_t ListBlockSize(size_t header, uint32_t numItems, uint16_t itemType)
{
    const uint64_t bytes = static_cast<uint64_t>(numItems) * ItemSize(itemType) + header + 2;
    return bytes > std::numeric_limits<size_t>::max() / 2 ? 0 : static_cast<size_t>(bytes);
}

}  // namespace

uint32_t ItemSize(uint16_t itemType)
{
    switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8: return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32: return 4;
    // TW_STR32 and its kin are character arrays with room for the
    // terminator and a pad byte, as TWAIN's header declares them.
    case TWTY_STR32: return 34;
    case TWTY_STR64: return 66;
    case TWTY_STR128: return 130;
    case TWTY_STR255: return 256;
    default: return 0;  // TWTY_FRAME and unknown codes
    }
}

uint32_t ItemValue(const uint8_t* item, uint16_t itemType)
{
    switch (ItemSize(itemType)) {
    case 1: return item[0];
    case 2: return GetU16(item);
    case 4: return GetU32(item);
    default: return 0;
    }
}

bool ItemTypeCarries(uint16_t sent, uint16_t held)
{
    auto integer = [](uint16_t type) { return type <= TWTY_UINT32; };
    if (integer(held)) {
        return integer(sent);
    }
    if (held == TWTY_BOOL) {
        return integer(sent) || sent == TWTY_BOOL;
    }
    return sent == held;
}

size_t OneValueBlockSize(uint16_t itemType)
{
    const uint32_t size = ItemSize(itemType);
    return size <= 4 ? 6 : size + 6;
}

size_t EnumerationBlockSize(uint32_t numItems, uint16_t itemType)
{
    return ListBlockSize(EnumerationHeaderSize, numItems, itemType);
}

size_t ArrayBlockSize(uint32_t numItems, uint16_t itemType)
{
    return ListBlockSize(ArrayHeaderSize, numItems, itemType);
}

void WriteOneValue(uint8_t* block, uint16_t itemType, const void* item)
{
    PutU16(block, itemType);
    const uint32_t size = ItemSize(itemType);
    // Every byte of the block written: a wide item's block runs four bytes
    // past it, which the application gets as zeros, not as the heap left them.
    std::memset(block + 2, 0, OneValueBlockSize(itemType) - 2);
    if (size != 0 && item != nullptr) {
        std::memcpy(block + 2, item, size);
    }
}

void WriteEnumeration(uint8_t* block, uint32_t numItems, uint32_t currentIndex, uint32_t defaultIndex,
                      uint16_t itemType, const void* items)
{
    PutU16(block, itemType);
    PutU32(block + 2, numItems);
    PutU32(block + 6, currentIndex);
    PutU32(block + 10, defaultIndex);
    const size_t bytes = static_cast<size_t>(numItems) * ItemSize(itemType);
    if (bytes != 0) {
        std::memcpy(block + EnumerationHeaderSize, items, bytes);
    }
    PutU16(block + EnumerationHeaderSize + bytes, 0);
}

void WriteArray(uint8_t* block, uint32_t numItems, uint16_t itemType, const void* items)
{
    PutU16(block, itemType);
    PutU32(block + 2, numItems);
    const size_t bytes = static_cast<size_t>(numItems) * ItemSize(itemType);
    if (bytes != 0) {
        std::memcpy(block + ArrayHeaderSize, items, bytes);
    }
    PutU16(block + ArrayHeaderSize + bytes, 0);
}

void WriteRange(uint8_t* block, uint16_t itemType, const RangeValues& range)
{
    PutU16(block, itemType);
    PutU32(block + 2, range.Min);
    PutU32(block + 6, range.Max);
    PutU32(block + 10, range.Step);
    PutU32(block + 14, range.Default);
    PutU32(block + 18, range.Current);
}

bool ParseContainer(const uint8_t* block, size_t size, uint16_t kind, ContainerView& view)
{
    view = ContainerView{};
    if (block == nullptr) {
        return false;
    }
    size_t header = 0;
    switch (kind) {
    case TWON_ONEVALUE: header = 6; break;
    case TWON_ENUMERATION: header = EnumerationHeaderSize; break;
    case TWON_ARRAY: header = ArrayHeaderSize; break;
    default: return false;
    }
    if (size < header) {
        return false;
    }
    view.ItemType = GetU16(block);
    const uint64_t itemSize = ItemSize(view.ItemType);
    if (kind == TWON_ONEVALUE) {
        // An item wider than the four bytes of the field runs on behind it.
        if (itemSize > 4 && size < 2 + itemSize) {
            return false;
        }
        view.NumItems = 1;
        view.Items = block + 2;
        view.ItemBytes = static_cast<size_t>(itemSize);
        return true;
    }
    view.NumItems = GetU32(block + 2);
    if (kind == TWON_ENUMERATION) {
        view.CurrentIndex = GetU32(block + 6);
        view.DefaultIndex = GetU32(block + 10);
    }
    const uint64_t itemBytes = itemSize * view.NumItems;
    if (itemBytes > size - header) {
        return false;
    }
    view.Items = block + header;
    view.ItemBytes = static_cast<size_t>(itemBytes);
    return true;
}

TW_FIX32 FloatToFix32(double value)
{
    // Out of range would be undefined in the conversion; such sizes do not
    // fit a TW_FIX32 anyway and end at its limits.
    double scaled = value * 65536.0 + 0.5;
    if (!(scaled > -2147483648.0)) {
        scaled = -2147483648.0;
    } else if (scaled > 2147483647.0) {
        scaled = 2147483647.0;
    }
    const auto v = static_cast<int32_t>(scaled);
    TW_FIX32 fix;
    fix.Whole = static_cast<TW_INT16>(v >> 16);
    fix.Frac = static_cast<TW_UINT16>(v & 0xFFFF);
    return fix;
}
