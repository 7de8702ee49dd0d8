#include "rig/app_containers.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Put(std::vector<uint8_t>& bytes, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint32_t Get(const std::vector<uint8_t>& bytes, size_t at, int size)
{
    uint32_t value = 0;
    for (int i = 0; i < size && at + i < bytes.size(); ++i) {
        value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

ListSeen ReadList(HGLOBAL block, int itemSize, bool enumeration)
{
    ListSeen seen;
    const std::vector<uint8_t> bytes = BlockBytes(block);
    const size_t header = enumeration ? 14 : 6;
    if (bytes.size() < header) {
        return seen;
    }
    seen.ItemType = static_cast<TW_UINT16>(Get(bytes, 0, 2));
    seen.NumItems = Get(bytes, 2, 4);
    if (enumeration) {
        seen.CurrentIndex = Get(bytes, 6, 4);
        seen.DefaultIndex = Get(bytes, 10, 4);
    }
    for (uint32_t i = 0; i < seen.NumItems && header + (i + 1) * itemSize <= bytes.size(); ++i) {
        seen.Items.push_back(Get(bytes, header + i * itemSize, itemSize));
    }
    return seen;
}

}  // namespace

HGLOBAL GlobalBlock(const std::vector<uint8_t>& bytes)
{
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
    void* data = block != nullptr ? GlobalLock(block) : nullptr;
    if (data == nullptr) {
        ADD_FAILURE() << "no global memory for an application container";
        return block;
    }
    if (!bytes.empty()) {
        std::memcpy(data, bytes.data(), bytes.size());
    }
    GlobalUnlock(block);
    return block;
}

std::vector<uint8_t> OneValueBytes(TW_UINT16 itemType, uint32_t item)
{
    std::vector<uint8_t> bytes;
    Put(bytes, itemType, 2);
    Put(bytes, item, 4);
    return bytes;
}

std::vector<uint8_t> EnumerationBytes(TW_UINT16 itemType, int itemSize, std::initializer_list<uint32_t> items,
                                      uint32_t current, uint32_t defaultIndex)
{
    std::vector<uint8_t> bytes;
    Put(bytes, itemType, 2);
    Put(bytes, static_cast<uint32_t>(items.size()), 4);
    Put(bytes, current, 4);
    Put(bytes, defaultIndex, 4);
    for (uint32_t item : items) {
        Put(bytes, item, itemSize);
    }
    return bytes;
}

std::vector<uint8_t> ArrayBytes(TW_UINT16 itemType, int itemSize, std::initializer_list<uint32_t> items)
{
    std::vector<uint8_t> bytes;
    Put(bytes, itemType, 2);
    Put(bytes, static_cast<uint32_t>(items.size()), 4);
    for (uint32_t item : items) {
        Put(bytes, item, itemSize);
    }
    return bytes;
}

std::vector<uint8_t> BlockBytes(HGLOBAL block)
{
    std::vector<uint8_t> bytes;
    if (block == nullptr) {
        return bytes;
    }
    const void* data = GlobalLock(block);
    if (data != nullptr) {
        bytes.resize(GlobalSize(block));
        std::memcpy(bytes.data(), data, bytes.size());
        GlobalUnlock(block);
    }
    return bytes;
}

OneValueSeen ReadOneValueBlock(HGLOBAL block)
{
    OneValueSeen seen;
    const std::vector<uint8_t> bytes = BlockBytes(block);
    if (bytes.size() >= 6) {
        seen.ItemType = static_cast<TW_UINT16>(Get(bytes, 0, 2));
        seen.Item = Get(bytes, 2, 4);
    }
    return seen;
}

ListSeen ReadEnumerationBlock(HGLOBAL block, int itemSize)
{
    return ReadList(block, itemSize, true);
}

ListSeen ReadArrayBlock(HGLOBAL block, int itemSize)
{
    return ReadList(block, itemSize, false);
}

std::vector<HGLOBAL> HoldEveryMovableHandle()
{
    std::vector<HGLOBAL> held;
    for (HGLOBAL block; held.size() < 2000000 && (block = GlobalAlloc(GMEM_MOVEABLE, 1)) != nullptr;) {
        held.push_back(block);
    }
    EXPECT_LT(held.size(), 2000000u) << "global memory did not run out";
    return held;
}

void ReleaseHandles(std::vector<HGLOBAL>& held)
{
    for (HGLOBAL block : held) {
        GlobalFree(block);
    }
    held.clear();
}
