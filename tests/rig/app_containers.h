// Containers as an application builds and reads them, written byte by byte
// from the published layouts (independent of the source's own builders).
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "twain/twain_types.h"

// A GMEM_MOVEABLE block holding exactly `bytes`.
HGLOBAL GlobalBlock(const std::vector<uint8_t>& bytes);

std::vector<uint8_t> OneValueBytes(TW_UINT16 itemType, uint32_t item);
// Items of `itemSize` bytes each (little-endian).
std::vector<uint8_t> EnumerationBytes(TW_UINT16 itemType, int itemSize, std::initializer_list<uint32_t> items,
                                      uint32_t current, uint32_t defaultIndex);
std::vector<uint8_t> ArrayBytes(TW_UINT16 itemType, int itemSize, std::initializer_list<uint32_t> items);

// Movable handles run out long before memory does: holding every one the
// process can still get makes the source's own GlobalAlloc fail.
std::vector<HGLOBAL> HoldEveryMovableHandle();
void ReleaseHandles(std::vector<HGLOBAL>& held);

// The whole content of a block (GlobalSize bytes).
std::vector<uint8_t> BlockBytes(HGLOBAL block);

// A handed-over one value: its type and the 4 bytes of Item.
struct OneValueSeen {
    TW_UINT16 ItemType = 0xFFFF;
    uint32_t Item = 0xFFFFFFFF;
};
OneValueSeen ReadOneValueBlock(HGLOBAL block);

// A handed-over enumeration or array, items widened to 32 bits.
struct ListSeen {
    TW_UINT16 ItemType = 0xFFFF;
    uint32_t NumItems = 0;
    uint32_t CurrentIndex = 0;
    uint32_t DefaultIndex = 0;
    std::vector<uint32_t> Items;
};
ListSeen ReadEnumerationBlock(HGLOBAL block, int itemSize);
ListSeen ReadArrayBlock(HGLOBAL block, int itemSize);
