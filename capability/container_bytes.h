// Byte layouts of the TWAIN capability containers (32-bit Windows, 2-byte
// packing, little-endian), free of any platform call so they can be checked
// byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "twain/twain_types.h"

// Size of one item of a TWTY type as this source counts it: strings as
// TWAIN's header declares them (TW_STR32 34 bytes), frames 0.
uint32_t ItemSize(uint16_t itemType);

// The value of the item at `item`, widened without sign to 32 bits. Items of
// no size (frames, unknown types) have no value and read 0.
uint32_t ItemValue(const uint8_t* item, uint16_t itemType);

// Whether items of type `sent` can carry the values of a capability whose
// items are of type `held`: any integer type for integer values (whether the
// value fits is the value's question), an integer or TWTY_BOOL for a
// boolean, the same type for everything else. A string's bytes taken as a
// number would set a value no application asked for.
bool ItemTypeCarries(uint16_t sent, uint16_t held);

constexpr size_t OneValueHeaderSize = 2;
constexpr size_t EnumerationHeaderSize = 14;
constexpr size_t ArrayHeaderSize = 6;

// Bytes a container of that kind occupies as this source allocates it
// (enumerations and arrays carry two spare bytes behind their items).
// 0 when the item count cannot be represented in memory.
size_t OneValueBlockSize(uint16_t itemType);
size_t EnumerationBlockSize(uint32_t numItems, uint16_t itemType);
size_t ArrayBlockSize(uint32_t numItems, uint16_t itemType);

// Writers: `block` holds at least the size above; `items` holds the item bytes.
void WriteOneValue(uint8_t* block, uint16_t itemType, const void* item);
void WriteEnumeration(uint8_t* block, uint32_t numItems, uint32_t currentIndex, uint32_t defaultIndex,
                      uint16_t itemType, const void* items);
void WriteArray(uint8_t* block, uint32_t numItems, uint16_t itemType, const void* items);

// A TW_RANGE: five 32-bit fields behind the item type, each holding its
// value in the item type's own bytes (a TW_FIX32 as Whole, then Frac).
constexpr size_t RangeBlockSize = 22;
struct RangeValues {
    uint32_t Min, Max, Step, Default, Current;
};
void WriteRange(uint8_t* block, uint16_t itemType, const RangeValues& range);

// A container's header and where its items lie inside the block.
struct ContainerView {
    uint16_t ItemType = 0;
    uint32_t NumItems = 0;  // 1 for a one value
    uint32_t CurrentIndex = 0;
    uint32_t DefaultIndex = 0;
    const uint8_t* Items = nullptr;
    size_t ItemBytes = 0;  // NumItems x ItemSize
};

// Reads a container of the named kind out of `size` bytes. Fails (false) when
// the kind is not one this source reads or the block is too short for the
// header and the items the header announces.
bool ParseContainer(const uint8_t* block, size_t size, uint16_t kind, ContainerView& view);

// The TWAIN conversion: value x 65536 + 0.5, truncated toward zero.
TW_FIX32 FloatToFix32(double value);
