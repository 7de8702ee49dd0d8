#include "capability/container.h"

#include <cstring>

namespace {

// Allocates and locks a block, lets `write` fill it, answers it unlocked.
template <typename Writer>
HGLOBAL BuildBlock(size_t size, Writer write)
{
    if (size == 0) {
        return nullptr;
    }
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return nullptr;
    }
    auto* bytes = static_cast<TW_UINT8*>(GlobalLock(block));
    if (bytes == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    write(bytes);
    GlobalUnlock(block);
    return block;
}

}  // namespace

HGLOBAL MakeOneValue(TW_UINT16 itemType, const void* item)
{
    return BuildBlock(OneValueBlockSize(itemType),
                      [&](TW_UINT8* bytes) { WriteOneValue(bytes, itemType, item); });
}

HGLOBAL MakeEnumeration(TW_UINT32 numItems, TW_UINT32 currentIndex, TW_UINT32 defaultIndex, TW_UINT16 itemType,
                        const void* items)
{
    return BuildBlock(EnumerationBlockSize(numItems, itemType), [&](TW_UINT8* bytes) {
        WriteEnumeration(bytes, numItems, currentIndex, defaultIndex, itemType, items);
    });
}

HGLOBAL MakeArray(TW_UINT32 numItems, TW_UINT16 itemType, const void* items)
{
    return BuildBlock(ArrayBlockSize(numItems, itemType),
                      [&](TW_UINT8* bytes) { WriteArray(bytes, numItems, itemType, items); });
}

HGLOBAL MakeRange(TW_UINT16 itemType, const RangeValues& range)
{
    return BuildBlock(RangeBlockSize, [&](TW_UINT8* bytes) { WriteRange(bytes, itemType, range); });
}

bool ReadContainer(HGLOBAL container, TW_UINT16 kind, ContainerCopy& copy)
{
    copy = ContainerCopy{};
    if (container == nullptr) {
        return false;
    }
    GlobalLockGuard lock(container);
    if (lock.Bytes() == nullptr) {
        return false;
    }
    ContainerView view;
    if (!ParseContainer(lock.Bytes(), GlobalSize(container), kind, view)) {
        return false;
    }
    // Never an empty buffer, so a copy always holds something to free.
    OwnedArray<TW_UINT8> items = AllocateZeroed<TW_UINT8>(view.ItemBytes + 4);
    if (!items) {
        return false;
    }
    if (view.ItemBytes != 0) {
        std::memcpy(items.get(), view.Items, view.ItemBytes);
    }
    copy.ItemType = view.ItemType;
    copy.NumItems = view.NumItems;
    copy.CurrentIndex = view.CurrentIndex;
    copy.DefaultIndex = view.DefaultIndex;
    copy.Items = std::move(items);
    copy.ItemBytes = view.ItemBytes;
    return true;
}

bool ReadOneValue(HGLOBAL container, ContainerCopy& copy)
{
    return ReadContainer(container, TWON_ONEVALUE, copy);
}

bool ReadEnumeration(HGLOBAL container, ContainerCopy& copy)
{
    return ReadContainer(container, TWON_ENUMERATION, copy);
}

bool ReadArray(HGLOBAL container, ContainerCopy& copy)
{
    return ReadContainer(container, TWON_ARRAY, copy);
}

bool ReadOneValueWord(HGLOBAL container, TW_UINT16& itemType, TW_UINT32& item)
{
    if (container == nullptr) {
        return false;
    }
    GlobalLockGuard lock(container);
    ContainerView view;
    if (lock.Bytes() == nullptr || !ParseContainer(lock.Bytes(), GlobalSize(container), TWON_ONEVALUE, view)) {
        return false;
    }
    itemType = view.ItemType;
    std::memcpy(&item, view.Items, sizeof item);
    return true;
}

bool ContainerValues::Holds(TW_UINT32 value) const
{
    for (TW_UINT32 i = 0; i < Count; ++i) {
        if (Values[i] == value) {
            return true;
        }
    }
    return false;
}

bool ContainerValues::SameAs(const ContainerValues& other) const
{
    if (Count != other.Count) {
        return false;
    }
    for (TW_UINT32 i = 0; i < Count; ++i) {
        if (Values[i] != other.Values[i]) {
            return false;
        }
    }
    return true;
}

bool ReadValues(HGLOBAL container, TW_UINT16 kind, ContainerValues& values)
{
    values = ContainerValues{};
    if (kind == TWON_ONEVALUE) {
        TW_UINT16 itemType = 0;
        TW_UINT32 item = 0;
        values.Values = AllocateArray<TW_UINT32>(1);
        if (!values.Values || !ReadOneValueWord(container, itemType, item)) {
            values.Values.reset();
            return false;
        }
        values.ItemType = itemType;
        values.Values[0] = item;
        values.Count = 1;
        return true;
    }
    ContainerCopy copy;
    if (!ReadContainer(container, kind, copy)) {
        return false;
    }
    const TW_UINT32 size = ItemSize(copy.ItemType);
    const bool pointsOutside = kind == TWON_ENUMERATION &&
                               (copy.CurrentIndex >= copy.NumItems || copy.DefaultIndex >= copy.NumItems);
    if ((size == 0 && copy.NumItems != 0) || pointsOutside) {
        return false;
    }
    // Never an empty buffer, as with the copies.
    values.Values = AllocateArray<TW_UINT32>(size_t{copy.NumItems} + 1);
    if (!values.Values) {
        return false;
    }
    for (TW_UINT32 i = 0; i < copy.NumItems; ++i) {
        values.Values[i] = ItemValue(copy.Items.get() + static_cast<size_t>(i) * size, copy.ItemType);
    }
    values.ItemType = copy.ItemType;
    values.Count = copy.NumItems;
    return true;
}

HGLOBAL MakeContainer(TW_UINT16 kind, const ContainerCopy& copy)
{
    switch (kind) {
    case TWON_ONEVALUE: return MakeOneValue(copy.ItemType, copy.Items.get());
    case TWON_ENUMERATION:
        return MakeEnumeration(copy.NumItems, copy.CurrentIndex, copy.DefaultIndex, copy.ItemType,
                               copy.Items.get());
    case TWON_ARRAY: return MakeArray(copy.NumItems, copy.ItemType, copy.Items.get());
    default: return nullptr;
    }
}
