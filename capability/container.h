// Capability containers as movable global memory blocks: the form in which
// values cross the TWAIN interface and in which the store keeps them.
#pragma once

#include <windows.h>

#include "capability/container_bytes.h"
#include "twain/allocation.h"

// Builders answer a new unlocked GMEM_MOVEABLE block, or nullptr when memory
// is exhausted.
HGLOBAL MakeOneValue(TW_UINT16 itemType, const void* item);
HGLOBAL MakeEnumeration(TW_UINT32 numItems, TW_UINT32 currentIndex, TW_UINT32 defaultIndex, TW_UINT16 itemType,
                        const void* items);
HGLOBAL MakeArray(TW_UINT32 numItems, TW_UINT16 itemType, const void* items);
HGLOBAL MakeRange(TW_UINT16 itemType, const RangeValues& range);

// A private copy of a container's header and items.
struct ContainerCopy {
    TW_UINT16 ItemType = 0;
    TW_UINT32 NumItems = 0;
    TW_UINT32 CurrentIndex = 0;
    TW_UINT32 DefaultIndex = 0;
    OwnedArray<TW_UINT8> Items;  // NumItems x ItemSize bytes
    size_t ItemBytes = 0;
};

// Readers. They take whatever an application hands in: a null handle, one
// that does not lock, or a block shorter than its header announces answers
// false and leaves `copy` empty; so does exhausted memory for the copy.
bool ReadOneValue(HGLOBAL container, ContainerCopy& copy);
bool ReadEnumeration(HGLOBAL container, ContainerCopy& copy);
bool ReadArray(HGLOBAL container, ContainerCopy& copy);
bool ReadContainer(HGLOBAL container, TW_UINT16 kind, ContainerCopy& copy);

// A one value's ItemType and its whole 4-byte Item as one number, the way an
// application's single value is compared. Checked like the readers above.
bool ReadOneValueWord(HGLOBAL container, TW_UINT16& itemType, TW_UINT32& item);

// The values a container carries, the way capability values are compared: a
// one value's whole Item as one number (as ReadOneValueWord takes it), each
// item of an enumeration or array by ItemValue. Read like the readers above;
// besides, a list of items of no size, or an enumeration whose current or
// default index lies beyond its items, carries no usable values and reads false.
struct ContainerValues {
    TW_UINT16 ItemType = 0;
    TW_UINT32 Count = 0;
    OwnedArray<TW_UINT32> Values;

    bool Holds(TW_UINT32 value) const;
    bool SameAs(const ContainerValues& other) const;  // same values in the same order
};
bool ReadValues(HGLOBAL container, TW_UINT16 kind, ContainerValues& values);

// Rebuilds a container from a copy, in the given kind.
HGLOBAL MakeContainer(TW_UINT16 kind, const ContainerCopy& copy);

// Locks a global block for the guard's lifetime.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL block) : block_(block), data_(block ? GlobalLock(block) : nullptr) {}
    ~GlobalLockGuard()
    {
        if (data_ != nullptr) {
            GlobalUnlock(block_);
        }
    }
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;

    TW_UINT8* Bytes() const { return static_cast<TW_UINT8*>(data_); }

private:
    HGLOBAL block_;
    void* data_;
};
